#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/output_lines.hpp"
#include "pointer/platform/pointer_platform.hpp"

namespace pointer::testing {

// Collects lines instead of writing them.
class RecordingLineSink final : public common::LineSink {
public:
    void out(const std::string& line) override {
        std::lock_guard lock(mutex_);
        out_.push_back(line);
    }
    void err(const std::string& line) override {
        std::lock_guard lock(mutex_);
        err_.push_back(line);
    }
    std::vector<std::string> outLines() const {
        std::lock_guard lock(mutex_);
        return out_;
    }
    std::vector<std::string> errLines() const {
        std::lock_guard lock(mutex_);
        return err_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> out_;
    std::vector<std::string> err_;
};

// A pointer whose cursor and position the test sets, also while a timer thread reads them.
class ScriptedScreenPointer final : public platform::ScreenPointer {
public:
    void show(std::optional<platform::ShownCursor> shown) {
        std::lock_guard lock(mutex_);
        cursor_ = std::move(shown);
    }
    void moveTo(std::optional<common::Point> point) {
        std::lock_guard lock(mutex_);
        position_ = point;
    }
    std::optional<platform::ShownCursor> currentCursor() override {
        std::lock_guard lock(mutex_);
        return cursor_;
    }
    std::optional<common::Point> location() override {
        std::lock_guard lock(mutex_);
        return position_;
    }

private:
    std::mutex mutex_;
    std::optional<platform::ShownCursor> cursor_;
    std::optional<common::Point> position_;
};

// Counts the renderings it passes on to a real renderer.
class CountingRenderer final : public platform::ImageRenderer {
public:
    explicit CountingRenderer(const platform::ImageRenderer& real) : real_(real) {}
    std::optional<std::vector<uint8_t>> renderAlpha(const platform::CursorImage& image, int side,
                                                    const common::Rect& destination) const override {
        ++renders;
        return real_.renderAlpha(image, side, destination);
    }
    std::optional<std::vector<uint8_t>> encodePng(const platform::CursorImage& image) const override {
        return real_.encodePng(image);
    }
    mutable int renders = 0;

private:
    const platform::ImageRenderer& real_;
};

// A library that answers from a table.
class TableCursorLibrary final : public platform::StandardCursorLibrary {
public:
    std::map<platform::StandardCursor, platform::CursorImage> images;
    std::optional<platform::CursorImage> cursor(platform::StandardCursor which) const override {
        const auto found = images.find(which);
        if (found == images.end()) return std::nullopt;
        return found->second;
    }
};

// A user-interface element with fixed attributes; its parent is another element of the same tree.
struct FakeElementData {
    std::map<std::string, std::string> strings;
    std::map<std::string, bool> bools;
    std::vector<std::string> readable;  // attributes that can be read but are neither text nor boolean
    std::vector<std::string> actions;
    const FakeElementData* parent = nullptr;
};

class FakeElement final : public platform::AccessibilityElement {
public:
    explicit FakeElement(const FakeElementData& data) : data_(data) {}
    std::optional<std::string> attributeString(std::string_view attribute) const override {
        const auto found = data_.strings.find(std::string(attribute));
        if (found == data_.strings.end()) return std::nullopt;
        return found->second;
    }
    std::optional<bool> attributeBool(std::string_view attribute) const override {
        const auto found = data_.bools.find(std::string(attribute));
        if (found == data_.bools.end()) return std::nullopt;
        return found->second;
    }
    bool hasAttribute(std::string_view attribute) const override {
        for (const auto& name : data_.readable) {
            if (name == attribute) return true;
        }
        return attributeString(attribute).has_value() || attributeBool(attribute).has_value();
    }
    std::vector<std::string> actionNames() const override { return data_.actions; }
    std::unique_ptr<platform::AccessibilityElement> parent() const override {
        if (data_.parent == nullptr) return nullptr;
        return std::make_unique<FakeElement>(*data_.parent);
    }

private:
    const FakeElementData& data_;
};

// Answers with the element the test put under the pointer and in focus, and remembers where it
// was asked to look.
class FakeAccessibilityService final : public platform::AccessibilityService {
public:
    const FakeElementData* underPointer = nullptr;
    const FakeElementData* focused = nullptr;
    std::vector<common::Point> askedPoints;
    platform::ElementHandle elementAt(common::Point point) override {
        askedPoints.push_back(point);
        return underPointer ? std::make_unique<FakeElement>(*underPointer) : nullptr;
    }
    platform::ElementHandle focusedElement() override {
        return focused ? std::make_unique<FakeElement>(*focused) : nullptr;
    }
};

// Counters the test moves by hand, and a tap that may be refused.
class ScriptedButtonEvents final : public platform::ButtonEventSource {
public:
    bool tapAvailable = true;
    std::map<uint32_t, uint32_t> counters;
    Callback tap;
    uint64_t tapMask = 0;
    bool installTap(uint64_t mask, Callback callback) override {
        if (!tapAvailable) return false;
        tapMask = mask;
        tap = std::move(callback);
        return true;
    }
    uint32_t counterForEventType(uint32_t type) const override {
        std::lock_guard lock(mutex);
        const auto found = counters.find(type);
        return found == counters.end() ? 0 : found->second;
    }
    void set(uint32_t type, uint32_t value) {
        std::lock_guard lock(mutex);
        counters[type] = value;
    }
    mutable std::mutex mutex;
};

// An opaque black rectangle as a cursor picture.
platform::CursorImage solidImage(int width, int height, common::Point hotSpot = {});

}  // namespace pointer::testing
