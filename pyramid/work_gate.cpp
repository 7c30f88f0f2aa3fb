/*
 * work_gate.cpp - the CPU count, and the gate's slots under a lock.
 */
#include "pyramid/work_gate.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#endif

namespace nvx::pyramid {
namespace {

std::atomic<int> cpuLimit{std::numeric_limits<int>::max()};

std::string_view Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// A decimal integer above 0 and nothing else.
std::optional<std::int64_t> PositiveNumber(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value <= 0) return std::nullopt;
    return value;
}

std::optional<int> QuotaCpus(std::string_view quota, std::string_view period) {
    const auto q = PositiveNumber(quota);
    const auto p = PositiveNumber(period);
    if (!q || !p) return std::nullopt;
    // A quota of 1.5 periods keeps two CPUs busy three quarters of the time.
    const std::int64_t cpus = (*q + *p - 1) / *p;
    return static_cast<int>(std::min<std::int64_t>(cpus, std::numeric_limits<int>::max()));
}

#ifndef _WIN32
// The cgroup files are read only where there are cgroups.
std::optional<std::string> FileText(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The cgroup's directory and each of its parents up to the mount's root:
// a parent's quota holds its children too, and inside a container the
// path may name the host's hierarchy, whose root is the container's.
std::vector<std::string> SelfAndParents(const std::string& mount, std::string path) {
    std::vector<std::string> directories;
    while (!path.empty() && path.back() == '/') path.pop_back();
    for (;;) {
        directories.push_back(mount + path);
        if (path.empty()) break;
        path.erase(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    }
    return directories;
}
#endif

std::optional<int> CgroupCpus() {
#ifdef _WIN32
    return std::nullopt;
#else
    const auto self = FileText("/proc/self/cgroup");
    if (!self) return std::nullopt;
    const auto cgroup = CpuCgroupOf(*self);
    if (!cgroup) return std::nullopt;
    std::optional<int> fewest;
    const auto note = [&fewest](std::optional<int> cpus) {
        if (cpus && (!fewest || *cpus < *fewest)) fewest = cpus;
    };
    if (!cgroup->v1) {
        for (const auto& directory : SelfAndParents("/sys/fs/cgroup", cgroup->path)) {
            if (const auto text = FileText(directory + "/cpu.max")) note(CpusOfCpuMax(*text));
        }
        return fewest;
    }
    for (const char* mount : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
        for (const auto& directory : SelfAndParents(mount, cgroup->path)) {
            const auto quota = FileText(directory + "/cpu.cfs_quota_us");
            const auto period = FileText(directory + "/cpu.cfs_period_us");
            if (quota && period) note(CpusOfCfsQuota(*quota, *period));
        }
    }
    return fewest;
#endif
}

std::optional<int> AffinityCpus() {
#ifdef _WIN32
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) == 0) return std::nullopt;
    int cpus = 0;
    for (; process != 0; process &= process - 1) ++cpus;
    return cpus > 0 ? std::optional<int>(cpus) : std::nullopt;
#else
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return std::nullopt;
    const int cpus = CPU_COUNT(&set);
    return cpus > 0 ? std::optional<int>(cpus) : std::nullopt;
#endif
}

// Counted once: neither the mask nor the quota is expected to change
// under a run, and a level asks for every gate it opens.
int CpusOfTheProcess() {
    // hardware_concurrency is 0 where the system does not say.
    int cpus = std::max(static_cast<int>(std::thread::hardware_concurrency()), 1);
    if (const auto affinity = AffinityCpus()) cpus = std::min(cpus, *affinity);
    if (const auto quota = CgroupCpus()) cpus = std::min(cpus, *quota);
    return std::max(cpus, 1);
}

}  // namespace

std::optional<int> CpusOfCpuMax(std::string_view cpuMax) {
    cpuMax = Trimmed(cpuMax);
    const std::size_t blank = cpuMax.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    return QuotaCpus(cpuMax.substr(0, blank), cpuMax.substr(blank + 1));
}

std::optional<int> CpusOfCfsQuota(std::string_view quotaUs, std::string_view periodUs) {
    return QuotaCpus(Trimmed(quotaUs), Trimmed(periodUs));
}

std::optional<CgroupPath> CpuCgroupOf(std::string_view procSelfCgroup) {
    std::optional<CgroupPath> unified;
    while (!procSelfCgroup.empty()) {
        const std::size_t end = procSelfCgroup.find('\n');
        const std::string_view line = procSelfCgroup.substr(0, end);
        procSelfCgroup.remove_prefix(end == std::string_view::npos ? procSelfCgroup.size()
                                                                   : end + 1);
        const std::size_t first = line.find(':');
        const std::size_t second =
            first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view hierarchy = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string path(Trimmed(line.substr(second + 1)));
        if (path.empty() || path.front() != '/') continue;
        if (hierarchy == "0" && controllers.empty()) {
            unified = CgroupPath{path, false};
            continue;
        }
        // A v1 hierarchy that holds the cpu controller sets the quota even
        // beside a unified one (the hybrid layout).
        std::string_view rest = controllers;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            if (rest.substr(0, comma) == "cpu") return CgroupPath{path, true};
            rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
        }
    }
    return unified;
}

namespace {
int CpusTheSystemGives() {
    static const int cpus = std::max(CpusOfTheProcess(), 1);
    return cpus;
}
}  // namespace

int UsableCpus() { return std::max(std::min(CpusTheSystemGives(), cpuLimit.load()), 1); }

void LimitUsableCpus(int cpus) { cpuLimit.store(std::max(cpus, 1)); }

int TilesMadeAtOnce() {
    const int cpus = UsableCpus();
    // Below what the system gives, only the gate holds the run to its CPUs:
    // one tile each, or two would run on two CPUs.
    if (cpus < CpusTheSystemGives()) return std::min(cpus, WorkGate::kMostInside);
    return std::clamp(2 * cpus, 2, WorkGate::kMostInside);
}

WorkGate::WorkGate(int inside) : slots_(std::clamp(inside, 1, kMostInside)) {
    free_.reserve(static_cast<std::size_t>(slots_));
    // Handed out from the back: slot 0 first.
    for (int slot = slots_ - 1; slot >= 0; --slot) free_.push_back(slot);
}

int WorkGate::Waiting() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(waiting_.size());
}

WorkGate::Pass::Pass(WorkGate* gate, std::int64_t order) : gate_(gate) {
    std::unique_lock<std::mutex> lock(gate_->mutex_);
    // A free slot means nobody waits: a slot that comes free goes to the first waiter.
    if (!gate_->free_.empty()) {
        slot_ = gate_->free_.back();
        gate_->free_.pop_back();
        return;
    }
    Waiter waiter;
    // The pass that hands a slot over takes the waiter out of the queue.
    gate_->waiting_.emplace(order, &waiter);
    waiter.handedOver.wait(lock, [&] { return waiter.slot >= 0; });
    slot_ = waiter.slot;
}

WorkGate::Pass::~Pass() {
    const std::lock_guard<std::mutex> lock(gate_->mutex_);
    if (gate_->waiting_.empty()) {
        // Never grows: the slot came from this vector.
        gate_->free_.push_back(slot_);
        return;
    }
    const auto first = gate_->waiting_.begin();
    Waiter* waiter = first->second;
    gate_->waiting_.erase(first);
    waiter->slot = slot_;
    // Under the lock: the waiter, on its pass's stack, lives until it sees its slot.
    waiter->handedOver.notify_one();
}

}  // namespace nvx::pyramid
