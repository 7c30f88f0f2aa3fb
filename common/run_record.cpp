/*
 * run_record.cpp - the first failure, the losses and the messages, behind
 * a spin lock: a std::mutex may throw, and the record is written from
 * libtiff's frames and after memory ran out. Each hold is a few copies.
 */
#include "common/run_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace nvx {

namespace {

// Copies `text` into `into` (kTextBytes), cut at a character's first byte.
void CopyText(char* into, const char* text) noexcept {
    std::size_t length = text != nullptr ? std::strlen(text) : 0;
    if (length >= RunRecord::kTextBytes) {
        length = RunRecord::kTextBytes - 1;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    if (length > 0) std::memcpy(into, text, length);
    into[length] = '\0';
}

}  // namespace

class RunRecord::Guard {
public:
    explicit Guard(const RunRecord& record) noexcept : record_(record) { record_.Lock(); }
    ~Guard() { record_.Unlock(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    const RunRecord& record_;
};

void RunRecord::Lock() const noexcept {
    while (busy_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
}

void RunRecord::Unlock() const noexcept { busy_.clear(std::memory_order_release); }

void RunRecord::Fail(const Step& step, Cause cause, int code, const char* text) noexcept {
    const std::thread::id self = std::this_thread::get_id();
    const Guard guard(*this);
    if (failed_.load(std::memory_order_relaxed)) {
        if (failedOn_ != self) return;
        if (step_.stage == Stage::Output) step_ = step;
        if (cause_ == Cause::None && cause != Cause::None) {
            cause_ = cause;
            code_ = code;
            CopyText(text_, text);
        }
        return;
    }
    failedOn_ = self;
    step_ = step;
    cause_ = cause;
    code_ = code;
    CopyText(text_, text);
    failed_.store(true, std::memory_order_release);
}

void RunRecord::NoteLibraryMessage(const char* module, const char* format, std::va_list arguments,
                                   bool error) noexcept {
    // Formatted with room to spare, then cut to the record's size at a
    // character's first byte.
    char formatted[2 * kTextBytes];
    const int prefix = module != nullptr && *module != '\0'
                           ? std::snprintf(formatted, sizeof formatted, "%s: ", module)
                           : 0;
    const std::size_t used = prefix > 0 && static_cast<std::size_t>(prefix) < kTextBytes
                                 ? static_cast<std::size_t>(prefix)
                                 : 0;
    std::vsnprintf(formatted + used, sizeof formatted - used, format, arguments);
    char text[kTextBytes];
    CopyText(text, formatted);
    if (error) Fail(Step::Of(Stage::Output), Cause::Library, 0, text);
    const Guard guard(*this);
    for (std::size_t k = 0; k < messageCount_; ++k) {
        if (std::strcmp(messages_[k], text) == 0) return;
    }
    if (messageCount_ < kMessages) CopyText(messages_[messageCount_++], text);
}

void RunRecord::NoteLostTiles(std::int32_t count) noexcept {
    lostTiles_.fetch_add(count, std::memory_order_relaxed);
}

void RunRecord::NotePictureLost(AssociatedPicture picture) noexcept {
    const Guard guard(*this);
    for (std::size_t k = 0; k < lostPictureCount_; ++k) {
        if (lostPictures_[k] == picture) return;
    }
    if (lostPictureCount_ < std::size(lostPictures_)) lostPictures_[lostPictureCount_++] = picture;
}

bool RunRecord::Lost() const noexcept {
    if (Failed() || lostTiles_.load(std::memory_order_relaxed) != 0) return true;
    const Guard guard(*this);
    return lostPictureCount_ != 0;
}

RunFailure RunRecord::Read() const {
    RunFailure failure;
    failure.lostTiles = lostTiles_.load(std::memory_order_relaxed);
    // Copied out under the lock, turned into strings after it.
    Step step;
    Cause cause;
    int code;
    char text[kTextBytes];
    AssociatedPicture pictures[std::size(lostPictures_)];
    std::size_t pictureCount;
    char messages[kMessages][kTextBytes];
    std::size_t messageCount;
    {
        const Guard guard(*this);
        step = failed_.load(std::memory_order_relaxed) ? step_ : Step{};
        cause = cause_;
        code = code_;
        std::memcpy(text, text_, sizeof text);
        std::copy(lostPictures_, lostPictures_ + lostPictureCount_, pictures);
        pictureCount = lostPictureCount_;
        std::memcpy(messages, messages_, sizeof messages);
        messageCount = messageCount_;
    }
    failure.step = step;
    failure.cause = cause;
    failure.code = code;
    failure.text = text;
    failure.lostPictures.assign(pictures, pictures + pictureCount);
    for (std::size_t k = 0; k < messageCount; ++k)
        failure.libraryMessages.emplace_back(messages[k]);
    return failure;
}

}  // namespace nvx
