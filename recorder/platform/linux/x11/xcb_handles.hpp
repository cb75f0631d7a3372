#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace recorder::linux_backend::x11 {

// XCB hands out replies and errors as malloc'd blocks that the caller must free.
struct MallocDeleter {
    void operator()(void* block) const { std::free(block); }
};

template <class T>
using XcbReply = std::unique_ptr<T, MallocDeleter>;

using XcbErrorPtr = std::unique_ptr<xcb_generic_error_t, MallocDeleter>;

struct ConnectionDeleter {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

using ConnectionHandle = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

// Waits for a reply through one of XCB's generated `*_reply` functions and takes ownership of
// it and of the protocol error, if any. A null reply with no error means the connection broke.
template <class Reply, class Cookie, class ReplyFunction>
XcbReply<Reply> takeReply(xcb_connection_t* connection, Cookie cookie, ReplyFunction replyFunction,
                          XcbErrorPtr* errorOut = nullptr) {
    xcb_generic_error_t* error = nullptr;
    XcbReply<Reply> reply(replyFunction(connection, cookie, &error));
    XcbErrorPtr ownedError(error);
    if (errorOut) *errorOut = std::move(ownedError);
    return reply;
}

}  // namespace recorder::linux_backend::x11
