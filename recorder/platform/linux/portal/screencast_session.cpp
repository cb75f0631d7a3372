#include "recorder/platform/linux/portal/screencast_session.hpp"

#include <gio/gunixfdlist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>

#include "recorder/platform/linux/portal/source_choice.hpp"

namespace recorder::linux_backend::portal {
namespace {

constexpr const char* kBusName = "org.freedesktop.portal.Desktop";
constexpr const char* kObjectPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";
constexpr int kPropertiesTimeoutMs = 15'000;
constexpr int kQuickRequestSeconds = 30;
// The dialog waits for a person; only a portal that never answers at all is given up on.
constexpr int kDialogRequestSeconds = 600;
// restore_token and persist_mode exist from this version of the interface on.
constexpr uint32_t kPersistenceVersion = 4;
constexpr uint32_t kPersistUntilRevoked = 2;

common::Error failure(SessionFailure kind, const std::string& message) {
    return common::Error{kErrorDomain, static_cast<int>(kind), message};
}

std::string describe(const GError* error) { return error ? error->message : "unknown error"; }

// The session bus of this login, without ever starting one: GLib would launch a bus of its own
// when none is named, and a portal can never be found on that.
std::optional<std::string> sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        const std::string socket = std::string(runtime) + "/bus";
        struct stat status{};
        if (::stat(socket.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) return "unix:path=" + socket;
    }
    return std::nullopt;
}

uint32_t uintProperty(GVariant* properties, const char* name) {
    guint32 value = 0;
    if (!g_variant_lookup(properties, name, "u", &value)) return 0;
    return value;
}

}  // namespace

// Answers to requests, by request path, filled on the session's thread.
struct ScreenCastSession::Responses {
    struct Answer {
        uint32_t code = 2;
        VariantHandle results;
    };
    std::mutex mutex;
    std::condition_variable answered;
    std::map<std::string, Answer> answers;
};

void ScreenCastSession::onResponse(GDBusConnection*, const gchar*, const gchar* objectPath, const gchar*, const gchar*,
                       GVariant* parameters, gpointer data) {
    guint32 code = 2;
    GVariant* results = nullptr;
    g_variant_get(parameters, "(u@a{sv})", &code, &results);
    auto& responses = *static_cast<Responses*>(data);
    {
        std::lock_guard lock(responses.mutex);
        auto& answer = responses.answers[objectPath];
        answer.code = code;
        answer.results.reset(results);
    }
    responses.answered.notify_all();
}

void ScreenCastSession::onClosed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                     gpointer data) {
    auto& handler = *static_cast<ClosedHandler*>(data);
    if (handler) handler();
}

common::Result<std::unique_ptr<ScreenCastSession>> ScreenCastSession::start(const SessionOptions& options,
                                                                            ClosedHandler closed) {
    const auto address = sessionBusAddress();
    if (!address) return failure(SessionFailure::noPortal, "no session bus: DBUS_SESSION_BUS_ADDRESS is not set");

    std::unique_ptr<ScreenCastSession> session(new ScreenCastSession());
    session->closed_ = std::move(closed);
    session->responses_ = std::make_unique<Responses>();
    session->context_.reset(g_main_context_new());
    session->loop_.reset(g_main_loop_new(session->context_.get(), FALSE));

    GError* rawError = nullptr;
    session->connection_.reset(g_dbus_connection_new_for_address_sync(
        address->c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &rawError));
    ErrorHandle error(rawError);
    if (!session->connection_) {
        return failure(SessionFailure::noPortal, "cannot connect to the session bus: " + describe(error.get()));
    }
    std::string sender = g_dbus_connection_get_unique_name(session->connection_.get());
    if (!sender.empty() && sender[0] == ':') sender.erase(0, 1);
    for (char& c : sender) {
        if (c == '.') c = '_';
    }
    session->senderPath_ = sender;

    // Every answer and the end of the session are signals to this connection; the subscriptions are
    // made before the thread that handles them runs, in that thread's context.
    const std::string sessionToken = "recorder_agent_" + std::to_string(::getpid());
    const std::string expectedSessionPath = std::string(kObjectPath) + "/session/" + sender + "/" + sessionToken;
    g_main_context_push_thread_default(session->context_.get());
    session->responseSubscription_ = g_dbus_connection_signal_subscribe(
        session->connection_.get(), kBusName, kRequest, "Response", nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        onResponse, session->responses_.get(), nullptr);
    session->closedSubscription_ = g_dbus_connection_signal_subscribe(
        session->connection_.get(), kBusName, kSession, "Closed", expectedSessionPath.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onClosed, &session->closed_, nullptr);
    g_main_context_pop_thread_default(session->context_.get());
    session->loopThread_ = std::thread([loop = session->loop_.get()] { g_main_loop_run(loop); });

    rawError = nullptr;
    VariantHandle reply(g_dbus_connection_call_sync(
        session->connection_.get(), kBusName, kObjectPath, "org.freedesktop.DBus.Properties", "GetAll",
        g_variant_new("(s)", kScreenCast), G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE, kPropertiesTimeoutMs,
        nullptr, &rawError));
    error.reset(rawError);
    if (!reply) {
        return failure(SessionFailure::noPortal, "no screen-cast portal answers: " + describe(error.get()));
    }
    VariantHandle properties(g_variant_get_child_value(reply.get(), 0));
    const uint32_t version = uintProperty(properties.get(), "version");
    if (version == 0) return failure(SessionFailure::noPortal, "the desktop portal has no screen-cast interface");
    const PortalChoice source = chooseSourceType(options.sourceType, uintProperty(properties.get(), "AvailableSourceTypes"));
    const uint32_t cursorModes = uintProperty(properties.get(), "AvailableCursorModes");
    if (options.cursorAsMetadata && (version < 2 || (cursorModes & kCursorMetadata) == 0)) {
        return failure(SessionFailure::noCursorMetadata, "the desktop offers no pointer metadata in its screen casts");
    }
    const PortalChoice cursor =
        options.cursorAsMetadata ? PortalChoice{kCursorMetadata, std::nullopt} : chooseCursorMode(cursorModes);
    session->granted_.askedSourceType = source.value;
    if (source.notice) session->granted_.notices.push_back(*source.notice);
    if (cursor.notice) session->granted_.notices.push_back(*cursor.notice);

    // CreateSession
    std::string token = session->nextToken();
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&builder, "{sv}", "session_handle_token", g_variant_new_string(sessionToken.c_str()));
    auto created = session->request("CreateSession", g_variant_new("(a{sv})", &builder), token, kQuickRequestSeconds);
    if (!created) return created.error();
    const gchar* handle = nullptr;
    if (!g_variant_lookup(created.value().get(), "session_handle", "&s", &handle) || !handle) {
        return failure(SessionFailure::broken, "the portal created a session without a handle");
    }
    session->sessionPath_ = handle;
    if (session->sessionPath_ != expectedSessionPath) {
        // A portal older than session tokens: its Closed signal comes from a path we did not expect.
        session->closedSubscription_ = session->resubscribeClosed();
    }

    // SelectSources
    token = session->nextToken();
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&builder, "{sv}", "types", g_variant_new_uint32(source.value));
    g_variant_builder_add(&builder, "{sv}", "multiple", g_variant_new_boolean(FALSE));
    if (cursor.value != 0 && version >= 2) {
        g_variant_builder_add(&builder, "{sv}", "cursor_mode", g_variant_new_uint32(cursor.value));
    }
    if (version >= kPersistenceVersion) {
        g_variant_builder_add(&builder, "{sv}", "persist_mode", g_variant_new_uint32(kPersistUntilRevoked));
        if (options.restoreToken && g_utf8_validate(options.restoreToken->c_str(), -1, nullptr)) {
            g_variant_builder_add(&builder, "{sv}", "restore_token",
                                  g_variant_new_string(options.restoreToken->c_str()));
        }
    }
    auto selected = session->request(
        "SelectSources", g_variant_new("(oa{sv})", session->sessionPath_.c_str(), &builder), token, kQuickRequestSeconds);
    if (!selected) return selected.error();

    // Start: the desktop's dialog, unless the restore token stands for the user's earlier answer.
    token = session->nextToken();
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    auto started = session->request(
        "Start", g_variant_new("(osa{sv})", session->sessionPath_.c_str(), "", &builder), token, kDialogRequestSeconds);
    if (!started) return started.error();
    VariantHandle streams(g_variant_lookup_value(started.value().get(), "streams", G_VARIANT_TYPE("a(ua{sv})")));
    if (!streams || g_variant_n_children(streams.get()) == 0) {
        return failure(SessionFailure::refused, "the desktop started the screen cast without a stream");
    }
    guint32 node = 0;
    GVariant* rawStreamProperties = nullptr;
    g_variant_get_child(streams.get(), 0, "(u@a{sv})", &node, &rawStreamProperties);
    VariantHandle streamProperties(rawStreamProperties);
    session->granted_.nodeId = node;
    session->granted_.sourceType = uintProperty(streamProperties.get(), "source_type");
    gint32 width = 0, height = 0;
    if (g_variant_lookup(streamProperties.get(), "size", "(ii)", &width, &height) && width > 0 && height > 0) {
        session->granted_.size = std::make_pair(width, height);
    }
    gint32 x = 0, y = 0;
    if (g_variant_lookup(streamProperties.get(), "position", "(ii)", &x, &y)) {
        session->granted_.position = std::make_pair(x, y);
    }
    const gchar* restoreToken = nullptr;
    if (g_variant_lookup(started.value().get(), "restore_token", "&s", &restoreToken) && restoreToken && *restoreToken) {
        session->granted_.restoreToken = restoreToken;
    }
    return session;
}

std::string ScreenCastSession::nextToken() {
    return "recorder_agent_" + std::to_string(::getpid()) + "_" + std::to_string(++tokenCounter_);
}

common::Result<VariantHandle> ScreenCastSession::request(const char* method, GVariant* parameters,
                                                         const std::string& token, int timeoutSeconds) {
    // The answer may come before the call returns; it waits in the answers by its path.
    std::string path = std::string(kObjectPath) + "/request/" + senderPath_ + "/" + token;
    GError* rawError = nullptr;
    VariantHandle reply(g_dbus_connection_call_sync(connection_.get(), kBusName, kObjectPath, kScreenCast, method,
                                                    parameters, G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1,
                                                    nullptr, &rawError));
    ErrorHandle error(rawError);
    if (!reply) {
        return failure(SessionFailure::broken, std::string("the portal's ") + method + " failed: " + describe(error.get()));
    }
    const gchar* handle = nullptr;
    g_variant_get(reply.get(), "(&o)", &handle);
    if (handle) path = handle;  // portals older than handle tokens choose the path themselves
    Responses::Answer answer;
    bool answered = false;
    {
        std::unique_lock lock(responses_->mutex);
        answered = responses_->answered.wait_for(lock, std::chrono::seconds(timeoutSeconds),
                                                 [&] { return responses_->answers.count(path) > 0; });
        if (answered) {
            answer = std::move(responses_->answers[path]);
            responses_->answers.erase(path);
        }
    }
    if (!answered) {
        return failure(SessionFailure::broken, std::string("the portal did not answer ") + method);
    }
    if (answer.code == 1) return failure(SessionFailure::dismissed, "the screen-cast dialog was dismissed");
    if (answer.code != 0 || !answer.results) {
        return failure(SessionFailure::refused, std::string("the desktop refused the screen cast (") + method + ")");
    }
    return std::move(answer.results);
}

unsigned ScreenCastSession::resubscribeClosed() {
    g_dbus_connection_signal_unsubscribe(connection_.get(), closedSubscription_);
    // Callbacks go to the session's thread, whose context this thread may not enter: subscribing
    // there is left to that thread, and this one waits for it.
    struct Subscription {
        ScreenCastSession* session = nullptr;
        unsigned id = 0;
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
    } subscription;
    subscription.session = this;
    g_main_context_invoke(
        context_.get(),
        [](gpointer data) -> gboolean {
            auto& request = *static_cast<Subscription*>(data);
            ScreenCastSession& self = *request.session;
            const unsigned id = g_dbus_connection_signal_subscribe(self.connection_.get(), kBusName, kSession,
                                                                   "Closed", self.sessionPath_.c_str(), nullptr,
                                                                   G_DBUS_SIGNAL_FLAGS_NONE, onClosed, &self.closed_,
                                                                   nullptr);
            {
                std::lock_guard lock(request.mutex);
                request.id = id;
                request.finished = true;
            }
            request.done.notify_all();
            return G_SOURCE_REMOVE;
        },
        &subscription);
    std::unique_lock lock(subscription.mutex);
    subscription.done.wait(lock, [&] { return subscription.finished; });
    return subscription.id;
}

common::Result<int> ScreenCastSession::openPipeWireRemote() {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    GUnixFDList* rawList = nullptr;
    GError* rawError = nullptr;
    VariantHandle reply(g_dbus_connection_call_with_unix_fd_list_sync(
        connection_.get(), kBusName, kObjectPath, kScreenCast, "OpenPipeWireRemote",
        g_variant_new("(oa{sv})", sessionPath_.c_str(), &builder), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, -1,
        nullptr, &rawList, nullptr, &rawError));
    FdListHandle list(rawList);
    ErrorHandle error(rawError);
    if (!reply || !list) {
        return failure(SessionFailure::broken, "the portal gave no PipeWire connection: " + describe(error.get()));
    }
    gint32 index = -1;
    g_variant_get(reply.get(), "(h)", &index);
    rawError = nullptr;
    const int fd = g_unix_fd_list_get(list.get(), index, &rawError);
    error.reset(rawError);
    if (fd < 0) return failure(SessionFailure::broken, "the portal's PipeWire connection is unusable: " + describe(error.get()));
    return fd;
}

ScreenCastSession::~ScreenCastSession() {
    if (connection_) {
        // Our own Close is no news to give anyone.
        if (closedSubscription_) g_dbus_connection_signal_unsubscribe(connection_.get(), closedSubscription_);
        if (responseSubscription_) g_dbus_connection_signal_unsubscribe(connection_.get(), responseSubscription_);
        if (!sessionPath_.empty()) {
            VariantHandle reply(g_dbus_connection_call_sync(connection_.get(), kBusName, sessionPath_.c_str(), kSession,
                                                            "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 2000,
                                                            nullptr, nullptr));
        }
    }
    if (loop_) {
        // Queued rather than called: a loop that has not begun to run yet would miss a plain quit.
        g_main_context_invoke(
            context_.get(),
            [](gpointer loop) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return G_SOURCE_REMOVE;
            },
            loop_.get());
    }
    if (loopThread_.joinable()) loopThread_.join();
    if (connection_) g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
}

}  // namespace recorder::linux_backend::portal
