/*
 * output_file.cpp - the temporary output, libtiff's handlers and the
 * publishing rename.
 */
#include "pyramid/output_file.h"

#include <cstdarg>
#include <utility>

#include "common/native_file.h"

namespace nvx::pyramid {

namespace {

// The name the record goes by among the TIFF handle's client data.
constexpr const char* kRecordName = "nvx2svs run record";

struct OptionsFree {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

// libtiff calls these inside its own frames: they only copy into the
// record's storage.
int CollectError(TIFF*, void* record, const char* module, const char* format,
                 va_list arguments) noexcept {
    static_cast<RunRecord*>(record)->NoteLibraryMessage(module, format, arguments, true);
    return 1;
}

int CollectWarning(TIFF*, void* record, const char* module, const char* format,
                   va_list arguments) noexcept {
    static_cast<RunRecord*>(record)->NoteLibraryMessage(module, format, arguments, false);
    return 1;
}

// libtiff reads and writes the file through these, at the file's own
// position; the file stays ours to sync, close and rename. A failure
// keeps its cause in the run's record (WritableFile).
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

}  // namespace

std::unique_ptr<OutputFile> OutputFile::Create(const OutputTarget& target, bool bigTiff,
                                               RunRecord* record) {
    auto output = std::make_unique<OutputFile>();
    output->record_ = record;
    output->file_ = PublishingFile::Create(target, record);
    if (!output->file_) return nullptr;

    const Step opening = Step::Of(Stage::CreatingOutput);
    std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) {
        record->Fail(opening, Cause::OutOfMemory);
        return nullptr;  // the temporary file goes with `output`
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), CollectError, record);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), CollectWarning, record);
    // Through the descriptor the file was created with, never by its name
    // again: no one can put another file under the name meanwhile.
    output->tiff_ = TIFFClientOpenExt(output->temporaryPath().c_str(), bigTiff ? "w8" : "w",
                                      reinterpret_cast<thandle_t>(&output->file_->file()),
                                      ReadThrough, WriteThrough, SeekThrough, KeepFileOpen,
                                      SizeThrough, NoMapping, NoUnmapping, options.get());
    if (output->tiff_ == nullptr) {
        record->Fail(opening);
        return nullptr;
    }
    TIFFSetClientInfo(output->tiff_, record, kRecordName);
    return output;
}

OutputFile::~OutputFile() {
    if (tiff_ != nullptr) TIFFClose(tiff_);
}

void OutputFile::StartWritingBack() const { file_->file().StartWritingBack(); }

bool OutputFile::Publish() {
    const bool flushed =
        file_->RunStep(PublishStep::Flush, [this] { return TIFFFlush(tiff_) != 0; });
    if (!flushed) record_->Fail(Step::Of(Stage::FinishingOutput));
    TIFFClose(tiff_);
    tiff_ = nullptr;
    // What libtiff could not write at its close (a flush that failed
    // without a word of its own) fails the run too.
    if (!flushed || record_->Failed()) return false;
    std::string reason;  // the record says it
    return file_->Publish(&reason);
}

RunRecord* RecordOf(TIFF* tiff) {
    return static_cast<RunRecord*>(TIFFGetClientInfo(tiff, kRecordName));
}

}  // namespace nvx::pyramid
