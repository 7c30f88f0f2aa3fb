/*
 * output_file.cpp - the temporary output, libtiff's collected messages and
 * the publishing rename.
 */
#include "pyramid/output_file.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "common/native_file.h"
#include "pyramid/write_failure.h"

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

// libtiff reads and writes the file through these, at the file's own
// position; the file stays ours to sync, close and rename.
// thandle_t is a pointer type of its own on Windows.
WritableFile& FileOf(thandle_t handle) { return *reinterpret_cast<WritableFile*>(handle); }

tmsize_t ReadThrough(thandle_t handle, void* buffer, tmsize_t size) {
    return static_cast<tmsize_t>(FileOf(handle).Read(buffer, static_cast<std::size_t>(size)));
}

tmsize_t WriteThrough(thandle_t handle, void* data, tmsize_t size) {
    return FileOf(handle).Write(data, static_cast<std::size_t>(size)) ? size : -1;
}

toff_t SeekThrough(thandle_t handle, toff_t offset, int whence) {
    return static_cast<toff_t>(FileOf(handle).Seek(static_cast<std::int64_t>(offset), whence));
}

int KeepFileOpen(thandle_t) { return 0; }

toff_t SizeThrough(thandle_t handle) { return FileOf(handle).Size(); }

int NoMapping(thandle_t, void**, toff_t*) { return 0; }

void NoUnmapping(thandle_t, void*, toff_t) {}

int CollectWarning(TIFF*, void* messages, const char* module, const char* format,
                   va_list arguments) {
    static_cast<TiffMessages*>(messages)->Add(Format(module, format, arguments), false);
    return 1;
}

}  // namespace

void TiffMessages::Add(const std::string& text, bool error) {
    if (error) anyError_.store(true);
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

std::unique_ptr<OutputFile> OutputFile::Create(const OutputTarget& target, bool bigTiff,
                                               std::string* reason, TiffMessages* messages,
                                               PublishStepRunner runStep) {
    auto output = std::make_unique<OutputFile>();
    output->file_ = PublishingFile::Create(target, reason, std::move(runStep));
    if (!output->file_) return nullptr;

    std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) {
        *reason = "out of memory";
        return nullptr;  // the temporary file goes with `output`
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), CollectError, messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), CollectWarning, messages);
    // Through the descriptor the file was created with, never by its name
    // again: no one can put another file under the name meanwhile.
    output->tiff_ = TIFFClientOpenExt(output->temporaryPath().c_str(), bigTiff ? "w8" : "w",
                                      reinterpret_cast<thandle_t>(&output->file_->file()),
                                      ReadThrough, WriteThrough, SeekThrough, KeepFileOpen,
                                      SizeThrough, NoMapping, NoUnmapping, options.get());
    if (output->tiff_ == nullptr) {
        *reason = "libtiff cannot create " + output->temporaryPath();
        return nullptr;
    }
    return output;
}

OutputFile::~OutputFile() {
    if (tiff_ != nullptr) TIFFClose(tiff_);
}

void OutputFile::StartWritingBack() const { file_->file().StartWritingBack(); }

bool OutputFile::Publish(std::string* reason) {
    const bool flushed =
        file_->RunStep(PublishStep::Flush, [this] { return TIFFFlush(tiff_) != 0; });
    TIFFClose(tiff_);
    tiff_ = nullptr;
    if (!flushed) {
        *reason = "the end of the output could not be written";
        return false;
    }
    return file_->Publish(reason);
}

std::string OutputFile::ExplainWriteFailure() const {
    return pyramid::ExplainWriteFailure(temporaryPath());
}

}  // namespace nvx::pyramid
