/*
 * output_file.cpp - the temporary output, libtiff's collected messages and
 * the publishing rename.
 */
#include "pyramid/output_file.h"

#include <cstdarg>
#include <cstdio>
#include <filesystem>

#include "common/native_file.h"
#include "pyramid/temporary_file.h"

namespace nvx::pyramid {

namespace {

struct OptionsFree {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

std::string Format(const char* module, const char* format, va_list arguments) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    return module != nullptr && *module != '\0' ? std::string(module) + ": " + text : text;
}

int CollectError(TIFF*, void* messages, const char* module, const char* format, va_list arguments) {
    static_cast<TiffMessages*>(messages)->Add(Format(module, format, arguments), true);
    return 1;
}

int CollectWarning(TIFF*, void* messages, const char* module, const char* format,
                   va_list arguments) {
    static_cast<TiffMessages*>(messages)->Add(Format(module, format, arguments), false);
    return 1;
}

}  // namespace

void TiffMessages::Add(const std::string& text, bool error) {
    if (error) anyError_.store(true);
    if (text.find("Maximum TIFF file size exceeded") != std::string::npos) {
        classicLimit_.store(true);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& known : texts_) {
        if (known == text) return;
    }
    texts_.push_back(text);
}

std::vector<std::string> TiffMessages::Texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
}

std::unique_ptr<OutputFile> OutputFile::Create(const std::string& path, bool bigTiff,
                                               std::string* reason, TiffMessages* messages) {
    auto output = std::make_unique<OutputFile>();
    output->path_ = path;
    if (!CreateTemporaryBeside(path, &output->temporaryPath_, reason)) return nullptr;

    std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) {
        *reason = "out of memory";
        return nullptr;  // the temporary file goes with `output`
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), CollectError, messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), CollectWarning, messages);
    // Opened by the file system's own form of the name: wide on Windows,
    // where the narrow TIFFOpenExt would read it in the ANSI code page.
    const std::filesystem::path native = NativePath(output->temporaryPath_);
#if defined(_WIN32)
    output->tiff_ = TIFFOpenWExt(native.c_str(), bigTiff ? "w8" : "w", options.get());
#else
    output->tiff_ = TIFFOpenExt(native.c_str(), bigTiff ? "w8" : "w", options.get());
#endif
    if (output->tiff_ == nullptr) {
        *reason = "libtiff cannot create " + output->temporaryPath_;
        return nullptr;
    }
    return output;
}

OutputFile::~OutputFile() {
    if (tiff_ != nullptr) TIFFClose(tiff_);
    if (!published_ && !temporaryPath_.empty()) DiscardTemporary(temporaryPath_);
}

void OutputFile::StartWritingBack() const { pyramid::StartWritingBack(TIFFFileno(tiff_)); }

bool OutputFile::Publish(std::string* reason) {
    const bool flushed = TIFFFlush(tiff_) != 0;
    TIFFClose(tiff_);
    tiff_ = nullptr;
    if (!flushed) {
        *reason = "the end of the output could not be written";
        return false;
    }
    if (!SyncToDisk(temporaryPath_, reason)) {
        *reason = "the output could not be put on disk: " + *reason;
        return false;
    }
    if (!PublishTemporary(temporaryPath_, path_, reason)) {
        *reason = "the finished output could not be renamed to " + path_ + ": " + *reason;
        return false;
    }
    published_ = true;
    return true;
}

std::string OutputFile::ExplainWriteFailure() const {
    return pyramid::ExplainWriteFailure(temporaryPath_);
}

}  // namespace nvx::pyramid
