/*
 * publishing_file.cpp - the temporary file made through the shared
 * temporary's steps, the earlier file's settings given to it, and the
 * publishing rename.
 */
#include "common/publishing_file.h"

#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "common/earlier_settings.h"

namespace nvx {

std::string TemporaryName(const OutputTarget& target, const std::string& host,
                          unsigned long process, std::uint32_t random) {
    return TemporaryName(target.name, target.nameLimit, host, process, random);
}

int RemoveStaleTemporaries(const OutputTarget& target) {
    if (!target.heldFolder) return 0;
    return RemoveStaleTemporaries(*target.heldFolder, target.name, target.nameLimit);
}

Stage StageOf(PublishStep step) {
    switch (step) {
        case PublishStep::Create:
            return Stage::CreatingOutput;
        case PublishStep::Flush:
            return Stage::FinishingOutput;
        case PublishStep::Sync:
            return Stage::SyncingOutput;
        case PublishStep::Close:
            return Stage::ClosingOutput;
        case PublishStep::Rename:
            return Stage::RenamingOutput;
        case PublishStep::SyncFolder:
            return Stage::SyncingFolder;
    }
    return Stage::None;
}

std::unique_ptr<PublishingFile> PublishingFile::Create(const OutputTarget& target,
                                                       std::string* reason,
                                                       PublishStepRunner runStep) {
    // The record's hook hands each step of publishing to the runner.
    StepHook hook;
    if (runStep) {
        hook = [runStep = std::move(runStep)](Stage stage, const std::function<bool()>& perform) {
            for (const PublishStep step :
                 {PublishStep::Create, PublishStep::Flush, PublishStep::Sync, PublishStep::Close,
                  PublishStep::Rename, PublishStep::SyncFolder}) {
                if (StageOf(step) == stage) return runStep(step, perform);
            }
            return perform();
        };
    }
    auto record = std::make_unique<RunRecord>(std::move(hook));
    std::unique_ptr<PublishingFile> output = CreateFor(target, record.get(), reason);
    if (output) output->ownRecord_ = std::move(record);
    return output;
}

std::unique_ptr<PublishingFile> PublishingFile::Create(const OutputTarget& target,
                                                       RunRecord* record) {
    std::string reason;
    return CreateFor(target, record, &reason);
}

std::unique_ptr<PublishingFile> PublishingFile::CreateFor(const OutputTarget& target,
                                                          RunRecord* record, std::string* reason) {
    if (!target.Publishable() || !target.heldFolder) {
        *reason = target.refusal;
        record->Fail(Step::Of(Stage::CreatingOutput), Cause::Refusal, 0, target.refusal.c_str());
        return nullptr;
    }
    std::unique_ptr<PublishingFile> output(new PublishingFile(target, record));
    std::string why;
    if (!output->RunStep(PublishStep::Create, [&] { return output->CreateTemporary(&why); })) {
        *reason = why.empty() ? "cannot create a file in " + target.folder + ": refused" : why;
        output->Fail(Stage::CreatingOutput, Cause::None, 0, target.folder.c_str());
        return nullptr;  // a temporary made all the same goes with `output`
    }
    // From here on the file's own failures are the run's.
    output->file_.RecordFailuresIn(record);
    return output;
}

void PublishingFile::Fail(Stage stage, Cause cause, int code, const char* text) const {
    record_->Fail(Step::Of(stage), cause, code, text);
}

bool PublishingFile::CreateTemporary(std::string* why) {
    const HeldFolder& folder = *target_.heldFolder;
    TemporaryMaking making;
    making.create = [&](const std::string& name, std::string* error, bool* exists, int* code) {
        std::string system;
        if (file_.CreateNewIn(folder, name, &system, exists)) return true;
        *error = "cannot create a file in " + target_.folder + ": " + system;
        *code = file_.Error();
        return false;
    };
    making.lock = [&] { return file_.Lock(); };
    making.handle = [&] { return file_.handle(); };
    making.drop = [&] {
        file_.Close(nullptr);
        file_.ReleaseLock();
    };
    int code = 0;
    if (!MakeTemporary(folder, target_.name, target_.nameLimit, TemporaryKind::File, making,
                       &temporary_, why, &code)) {
        if (code != 0) {
            Fail(Stage::CreatingOutput, Cause::System, code, target_.folder.c_str());
        } else {
            Fail(Stage::CreatingOutput, Cause::Refusal, 0, why->c_str());
        }
        return false;
    }
    temporaryPath_ = folder.PathOf(temporary_.name());
#if !defined(_WIN32)
    // While it is written, no one may read it who could not read the
    // earlier file.
    struct stat own {};
    if (target_.kind == OutputKind::RegularFile && ::fstat(int(file_.handle()), &own) == 0) {
        ::fchmod(int(file_.handle()), own.st_mode & target_.earlier.mode & 0777);
    }
#endif
    return true;
}

PublishingFile::~PublishingFile() {
    if (published_ || !temporary_.Made()) return;
    file_.Close(nullptr);
    // Removed while still locked, so no sweep can take its name meanwhile.
    target_.heldFolder->Remove(temporary_.name());
    temporary_.Forget();
}

bool PublishingFile::Publish(std::string* reason) {
    std::string why;
#if !defined(_WIN32)
    // Only to the earlier file's own successor: not when something else has
    // taken its name, nor in a folder other than the record's.
    bool present = false;
    bool earlier = false;
    if (target_.kind == OutputKind::RegularFile &&
        RecheckOutputTarget(target_, &present, &earlier).empty() && earlier) {
        KeepEarlierSettings(file_.handle(), target_.earlier);
    }
#endif
    // A step a test's runner fails has no reason of the system's own.
    const auto because = [&why] { return why.empty() ? std::string("refused") : why; };
    if (!RunStep(PublishStep::Sync, [&] { return file_.Sync(&why); })) {
        *reason = "the output could not be put on disk: " + because();
        Fail(Stage::SyncingOutput);
        return false;
    }
    if (!RunStep(PublishStep::Close, [&] { return file_.Close(&why); })) {
        *reason = "the output could not be closed: " + because();
        Fail(Stage::ClosingOutput);
        return false;
    }
    bool renamed = false;
    const bool done =
        RunStep(PublishStep::Rename, [&] { return RenameOverTarget(&why, &renamed); });
    if (renamed) {
        published_ = true;
        file_.ReleaseLock();
    }
    if (!done) {
        *reason = renamed ? target_.target + " was replaced, but " + because()
                          : "the finished output could not be renamed to " + target_.target + ": " +
                                because();
        Fail(Stage::RenamingOutput);
        return false;
    }
    // The file is whole and in place: what follows only warns.
    std::string folderWhy;
    if (!RunStep(PublishStep::SyncFolder, [&] { return target_.heldFolder->Sync(&folderWhy); })) {
        warning_ = target_.target + " was written, but its folder " + target_.folder +
                   " could not be synced to disk: " +
                   (folderWhy.empty() ? std::string("refused") : folderWhy);
    }
    return true;
}

bool PublishingFile::RenameOverTarget(std::string* why, bool* renamed) {
    const HeldFolder& folder = *target_.heldFolder;
    temporary_.Renaming();
    // What is at the name is looked at again: a name that is free is taken
    // only while it stays free, and what appeared there meanwhile is
    // replaced only if it could have been at the start.
    int code = 0;
    for (int look = 0; look < 3; ++look) {
        bool present = false;
        bool earlier = false;
        const std::string refusal = RecheckOutputTarget(target_, &present, &earlier);
        if (!refusal.empty()) {
            *why = "what is there now cannot be replaced: " + refusal;
            Fail(Stage::RenamingOutput, Cause::Refusal, 0, why->c_str());
            break;
        }
        bool existed = false;
        if (folder.Rename(temporary_.name(), target_.name, present, why, &existed, &code)) {
            *renamed = true;
            temporary_.Published();
            return true;
        }
        if (!existed) break;
    }
    if (code != 0) Fail(Stage::RenamingOutput, Cause::System, code);
    temporary_.NotRenamed();
    return false;
}

bool PublishingFile::RunStep(PublishStep step, const std::function<bool()>& perform) const {
    return record_->Run(StageOf(step), perform);
}

}  // namespace nvx
