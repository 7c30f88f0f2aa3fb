/*
 * report_place.cpp - the report's path looked at once: its record, the
 * files the command line names compared with it by identity, and the
 * first bytes of what it would replace.
 */
#include "cli/report_place.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "common/name_identity.h"
#include "common/native_file.h"

#if !defined(_WIN32)
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace nvx::cli {
namespace {

constexpr std::size_t kHeadBytes = 64;

// The first bytes of the earlier file the record names, read through its
// held folder; false with `why` set when they cannot be read.
bool ReadHead(const OutputTarget& target, std::string* head, std::string* why) {
    head->assign(kHeadBytes, '\0');
#if defined(_WIN32)
    ReadOnlyFile file;
    std::uint64_t size = 0;
    if (!file.Open(target.heldFolder->PathOf(target.name).c_str(), why)) return false;
    if (!file.RegularFileSize(&size)) {
        *why = "it is not a regular file";
        return false;
    }
    head->resize(std::size_t(std::min<std::uint64_t>(size, kHeadBytes)));
    if (!head->empty() && !file.ReadAt(head->data(), head->size(), 0)) {
        *why = "it could not be read";
        return false;
    }
    return true;
#else
    const int fd = ::openat(int(target.heldFolder->handle()), target.name.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = SystemErrorText(errno);
        return false;
    }
    struct stat file {};
    ssize_t got = -1;
    if (::fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && file.st_dev == target.earlier.device &&
        file.st_ino == target.earlier.inode) {
        got = ::pread(fd, head->data(), head->size(), 0);
        if (got < 0) *why = SystemErrorText(errno);
    } else {
        *why = "it changed while it was looked at";
    }
    ::close(fd);
    if (got < 0) return false;
    head->resize(std::size_t(got));
    return true;
#endif
}

ReportPlace Refuse(console::ReportProblem problem, std::string detail = {}) {
    ReportPlace place;
    place.problem = problem;
    place.detail = std::move(detail);
    return place;
}

}  // namespace

bool BeginsAsReport(const std::string& head) {
    const std::size_t first = head.find_first_not_of(" \t\r\n");
    return first == std::string::npos || head[first] == '{';
}

ReportPlace DecideReportPlace(const std::string& path, const NamedFiles& named) {
    using console::ReportProblem;
    OutputTarget target = ResolveOutputTarget(path);
    if (!target.Publishable()) return Refuse(ReportProblem::Unusable, target.refusal);
    if (NamesTargetFile(target, named.input) || NamesTargetFile(target, named.output))
        return Refuse(ReportProblem::NamesSlideOrOutput);
    if (named.metadata && NamesTargetFile(target, *named.metadata))
        return Refuse(ReportProblem::NamesMetadata);
    for (const std::string& word : named.words) {
        if (NamesTargetFile(target, word)) return Refuse(ReportProblem::NamesAnotherArgument);
    }
    if (named.dicomOutput && TargetWithinFolder(target, named.output))
        return Refuse(ReportProblem::InsideDicomOutput, named.output);
    if (target.kind == OutputKind::RegularFile) {
        std::string head;
        std::string why;
        if (!ReadHead(target, &head, &why)) return Refuse(ReportProblem::Unreadable, why);
        if (!BeginsAsReport(head)) return Refuse(ReportProblem::NotAReport);
    }
    ReportPlace place;
    place.target = std::move(target);
    return place;
}

}  // namespace nvx::cli
