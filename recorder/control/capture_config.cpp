#include "recorder/control/capture_config.hpp"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace recorder {
namespace {

using nlohmann::json;

enum DecodingCode : int64_t {
    kTooLarge = 1,
    kMalformed = 2,
    kNotAnObject = 3,
    kWrongType = 4,
    kOutOfRange = 5,
};

common::Error decodingError(int64_t code, std::string message) {
    return common::Error{kRequestDecodingDomain, code, std::move(message)};
}

// The deepest nesting of arrays and objects, counted outside strings, stopping early once the
// limit is passed. The parser recurses per level, so depth is checked before parsing.
int nestingDepthUpTo(const std::string& text, int limit) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit) return deepest;
        } else if (c == ']' || c == '}') --depth;
    }
    return deepest;
}

std::string quoted(const char* key) { return std::string("`") + key + "`"; }

// An integer value of any JSON number kind, when it is a whole number that fits [minimum, maximum].
// Whole floating-point values (2.0) convert without loss and are taken; fractions are not.
template <class T>
std::optional<common::Error> readInteger(const json& value, const char* key, int64_t minimum, uint64_t maximum,
                                         const char* rangeText, T& out) {
    if (value.is_number_unsigned()) {
        const uint64_t v = value.get<uint64_t>();
        if (v > maximum) return decodingError(kOutOfRange, quoted(key) + " must be " + rangeText);
        out = static_cast<T>(v);
        return std::nullopt;
    }
    if (value.is_number_integer()) {
        const int64_t v = value.get<int64_t>();
        if (v < minimum || (v >= 0 && static_cast<uint64_t>(v) > maximum))
            return decodingError(kOutOfRange, quoted(key) + " must be " + rangeText);
        out = static_cast<T>(v);
        return std::nullopt;
    }
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (!std::isfinite(v) || std::trunc(v) != v)
            return decodingError(kWrongType, quoted(key) + " must be an integer");
        // Compare in long double so that 2^63 and 2^64 are not rounded into range.
        const long double wide = v;
        if (wide < static_cast<long double>(minimum) || wide > static_cast<long double>(maximum))
            return decodingError(kOutOfRange, quoted(key) + " must be " + rangeText);
        out = static_cast<T>(v);
        return std::nullopt;
    }
    return decodingError(kWrongType, quoted(key) + " must be an integer");
}

// Reads one field into `field` when the key is present and not null.
class FieldReader {
public:
    explicit FieldReader(const json& object) : object_(object) {}

    const json* present(const char* key) const {
        const auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) return nullptr;
        return &*it;
    }

    std::optional<common::Error> int64Field(const char* key, std::optional<int64_t>& field) const {
        const json* value = present(key);
        if (!value) return std::nullopt;
        int64_t v = 0;
        if (auto error = readInteger(*value, key, std::numeric_limits<int64_t>::min(),
                                     static_cast<uint64_t>(std::numeric_limits<int64_t>::max()),
                                     "a signed 64-bit integer", v))
            return error;
        field = v;
        return std::nullopt;
    }

    std::optional<common::Error> uint32Field(const char* key, std::optional<uint32_t>& field) const {
        const json* value = present(key);
        if (!value) return std::nullopt;
        uint32_t v = 0;
        if (auto error = readInteger(*value, key, 0, std::numeric_limits<uint32_t>::max(),
                                     "an integer from 0 to 4294967295", v))
            return error;
        field = v;
        return std::nullopt;
    }

    std::optional<common::Error> doubleField(const char* key, std::optional<double>& field) const {
        const json* value = present(key);
        if (!value) return std::nullopt;
        if (!value->is_number()) return decodingError(kWrongType, quoted(key) + " must be a number");
        field = value->get<double>();
        return std::nullopt;
    }

    std::optional<common::Error> stringField(const char* key, std::optional<std::string>& field) const {
        const json* value = present(key);
        if (!value) return std::nullopt;
        if (!value->is_string()) return decodingError(kWrongType, quoted(key) + " must be a string");
        field = value->get<std::string>();
        return std::nullopt;
    }

    std::optional<common::Error> boolField(const char* key, std::optional<bool>& field) const {
        const json* value = present(key);
        if (!value) return std::nullopt;
        if (!value->is_boolean()) return decodingError(kWrongType, quoted(key) + " must be true or false");
        field = value->get<bool>();
        return std::nullopt;
    }

    std::optional<common::Error> int32ListField(const char* key, std::optional<std::vector<int32_t>>& field) const {
        const json* value = present(key);
        if (!value) return std::nullopt;
        if (!value->is_array()) return decodingError(kWrongType, quoted(key) + " must be an array of integers");
        std::vector<int32_t> list;
        list.reserve(value->size());
        for (size_t i = 0; i < value->size(); ++i) {
            const std::string elementKey = std::string(key) + "[" + std::to_string(i) + "]";
            int32_t v = 0;
            if (auto error = readInteger((*value)[i], elementKey.c_str(), std::numeric_limits<int32_t>::min(),
                                         std::numeric_limits<int32_t>::max(), "a signed 32-bit integer", v))
                return error;
            list.push_back(v);
        }
        field = std::move(list);
        return std::nullopt;
    }

private:
    const json& object_;
};

}  // namespace

common::Result<CaptureConfig> decodeCaptureConfig(const std::string& utf8Json) {
    if (utf8Json.size() > kMaxRequestBytes)
        return decodingError(kTooLarge, "the request is larger than " + std::to_string(kMaxRequestBytes) + " bytes");
    if (nestingDepthUpTo(utf8Json, kMaxRequestNestingDepth) > kMaxRequestNestingDepth)
        return decodingError(kTooLarge, "the request nests arrays or objects more than " +
                                            std::to_string(kMaxRequestNestingDepth) + " levels deep");
    json document;
    try {
        document = json::parse(utf8Json);
    } catch (const json::exception& error) {
        // Syntax errors, and numbers too large for a double (1e999), which the parser reports
        // as out of range rather than as a syntax error.
        return decodingError(kMalformed, std::string("the request is not valid JSON: ") + error.what());
    }
    if (!document.is_object()) {
        return decodingError(kNotAnObject, std::string("the request must be a JSON object, not ") +
                                               (document.is_array() ? "an array" : document.type_name()));
    }

    CaptureConfig config;
    const FieldReader read(document);
    // Keys in declaration order: the first wrong field is the one reported.
    std::optional<common::Error> error;
    if ((error = read.int64Field("fps", config.fps))) return *error;
    // The rate becomes a 32-bit timescale; a larger one cannot be captured at all.
    if (config.fps && *config.fps > std::numeric_limits<int32_t>::max())
        return decodingError(kOutOfRange, "`fps` must be at most 2147483647 frames per second");
    if ((error = read.uint32Field("displayId", config.displayId))) return *error;
    if ((error = read.uint32Field("windowId", config.windowId))) return *error;
    if ((error = read.doubleField("windowX", config.windowX))) return *error;
    if ((error = read.doubleField("windowY", config.windowY))) return *error;
    if ((error = read.doubleField("windowWidth", config.windowWidth))) return *error;
    if ((error = read.doubleField("windowHeight", config.windowHeight))) return *error;
    if ((error = read.stringField("outputPath", config.outputPath))) return *error;
    if ((error = read.boolField("capturesSystemAudio", config.capturesSystemAudio))) return *error;
    if ((error = read.boolField("capturesMicrophone", config.capturesMicrophone))) return *error;
    if ((error = read.stringField("systemAudioOutputPath", config.systemAudioOutputPath))) return *error;
    if ((error = read.stringField("microphoneDeviceId", config.microphoneDeviceId))) return *error;
    if ((error = read.stringField("microphoneLabel", config.microphoneLabel))) return *error;
    if ((error = read.stringField("microphoneOutputPath", config.microphoneOutputPath))) return *error;
    if ((error = read.int32ListField("excludedProcessIds", config.excludedProcessIds))) return *error;
    if ((error = read.stringField("restoreTokenPath", config.restoreTokenPath))) return *error;
    return config;
}

}  // namespace recorder
