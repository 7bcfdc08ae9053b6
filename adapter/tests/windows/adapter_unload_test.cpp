// A session's copy of the adapter, once freed, must leave nothing behind in the service: the
// service loads one per caller session for as long as it runs, and a process has a fixed number
// of thread-local-storage slots (1,088), so a copy that keeps one brings the service down after
// about a thousand sessions. Here a copy is loaded, used on its ordinary and its error paths, and
// freed, many more times than a process has slots, while the lowest free slot, the handles and
// the memory of this process are watched.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/json_map.h"
#include "component/tests/windows/component_registration.h"

namespace fs = std::filesystem;

namespace {

typedef const char* (*CallMethodFunc)(const char*);
typedef const char* (*CallJsonMapMethodFunc)(JsonMap*, const char*);

// Past the 1,088 slots a process has, so a copy that keeps one cannot get through.
constexpr int kCycles = 1200;
// The first cycles may set up what the process keeps for good (COM, the component's server, the
// C runtime's buffers); from then on every cycle must give back all it took.
constexpr int kWarmUpCycles = 50;
// Enough to see a thread's part kept, which shows in every cycle.
constexpr int kThreadCycles = 300;
// Room for the heap's and the system's own bookkeeping over the cycles after the warm-up; a copy
// that kept even a hundred bytes would pass it within the first thousand cycles.
constexpr long long kMemorySlack = 64 * 1024;
constexpr long long kHandleSlack = 4;

struct ProcessState {
    DWORD lowestFreeTlsIndex = 0;
    long long privateBytes = 0;  // committed private memory
    long long workingSet = 0;
    long long heapBytes = 0;  // busy blocks over all the process's heaps
    unsigned long nextHandle = 0;
};

// The slot TlsAlloc hands out next: the lowest free one.
DWORD lowestFreeTlsIndex() {
    DWORD index = TlsAlloc();
    if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
    return index;
}

long long heapBytesInUse() {
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
    long long total = 0;
    for (HANDLE heap : heaps) {
        if (!HeapLock(heap)) continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heap, &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
        HeapUnlock(heap);
    }
    return total;
}

// Committed private pages over the whole address space (Wine leaves PrivateUsage at 0).
long long committedPrivateBytes() {
    long long total = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at) break;
        at = next;
    }
    return total;
}

// The value the next handle gets. Wine hands out the lowest free entry of the handle table (and
// leaves GetProcessHandleCount at 0), so a handle kept by a copy moves it up.
unsigned long nextHandleValue() {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return 0;
    CloseHandle(event);
    return static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(event));
}

ProcessState processState() {
    ProcessState state;
    state.lowestFreeTlsIndex = lowestFreeTlsIndex();
    state.privateBytes = committedPrivateBytes();
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        state.workingSet = static_cast<long long>(counters.WorkingSetSize);
    state.heapBytes = heapBytesInUse();
    state.nextHandle = nextHandleValue();
    return state;
}

void print(const char* when, int cycle, const ProcessState& s) {
    std::printf(
        "%s (cycle %d): lowest free TLS index %lu, private bytes %lld, working set %lld, "
        "heap bytes in use %lld, next handle 0x%lx\n",
        when, cycle, static_cast<unsigned long>(s.lowestFreeTlsIndex), s.privateBytes, s.workingSet,
        s.heapBytes, s.nextHandle);
    std::fflush(stdout);
}

template <typename F>
F entry(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

typedef std::vector<std::pair<const char*, const char*>> Calls;  // request, expected answer

// A session from its start: the copy is locked at first.
const Calls kSessionCalls = {
    {R"({"FunctionName":"Tessarion_GetVersion"})", "1,0,20,907"},
    {R"({"FunctionName":"P11Logout"})", "61908"},  // locked: refused before the component
    {R"({"FunctionName":"Tessarion_Unlock","TessarionFunctionIndex":"-2","url":"https://app.)" KVLB_WEB_DOMAIN
     R"("})",
     "0"},
    {R"({"FunctionName":"C_P11Sign","hStore":"-7","strData":")"
     "caf\xC3\xA9"
     R"(","signcodepage":"","iFlags":"1","iHashFlag":"2"})",
     "C_P11Sign:ok"},
    {R"({"FunctionName":"P11Logout"})", "61011"},  // the component's failure
    {R"({"FunctionName":"NoSuchFunction"})", "61005"},
    {"not json", "61005"},
};
// Further calls of an unlocked copy.
const Calls kUnlockedCalls = {
    {R"({"FunctionName":"P11Logout"})", "61011"},
    {R"({"FunctionName":"CryptEncode","bData":"x","strPemTitle":"CERTIFICATE"})", "CryptEncode:ok"},
};
const char* const kRelease = R"({"FunctionName":"Tessarion_Release","TessarionFunctionIndex":"-3"})";

// The process after each cycle, checked every cycle for the slot (a copy that keeps one is seen
// at once, long before the process runs out of them) and at the end for handles and memory.
template <typename Cycle>
void expectNothingKeptOver(int cycles, int warmUp, Cycle cycle) {
    print("before the first copy", 0, processState());
    for (int i = 1; i <= warmUp; ++i) ASSERT_TRUE(cycle()) << "cycle " << i;
    const ProcessState base = processState();
    print("after the warm-up", warmUp, base);
    ProcessState now = base;
    for (int i = warmUp + 1; i <= cycles; ++i) {
        ASSERT_TRUE(cycle()) << "cycle " << i;
        DWORD index = lowestFreeTlsIndex();
        if (index != base.lowestFreeTlsIndex) {
            print("a slot was kept", i, processState());
            FAIL() << "after cycle " << i << " the lowest free TLS index is " << index << ", not "
                   << base.lowestFreeTlsIndex;
        }
        if (i % 200 == 0 || i == cycles) {
            now = processState();
            print("so far", i, now);
        }
    }
    const int counted = cycles - warmUp;
    const long long handlesKept = (static_cast<long long>(now.nextHandle) - base.nextHandle) / 4;
    std::printf("per cycle after the warm-up: private bytes %+.1f, heap bytes %+.1f, handles %+.3f\n",
                double(now.privateBytes - base.privateBytes) / counted,
                double(now.heapBytes - base.heapBytes) / counted, double(handlesKept) / counted);
    EXPECT_LE(now.privateBytes - base.privateBytes, kMemorySlack);
    EXPECT_LE(now.heapBytes - base.heapBytes, kMemorySlack);
    EXPECT_LE(handlesKept, kHandleSlack);
}

class AdapterUnloadTest : public ::testing::Test {
  protected:
    // The copy in a folder of the test's own, the log off (no ini where the adapter looks), so a
    // cycle costs what a session's loading and calls cost.
    void SetUp() override {
        clearComponentFiles();
        ASSERT_EQ(registerComponent(test_support::windowsPath(KVLB_COMPONENT_LIBRARY)), 0u);
        // The component fails P11Logout with error information: the adapter's error path, where
        // the COM error is thrown and caught inside the copy.
        writeComponentSettings("component_fail=P11Logout\r\n");
        wchar_t temp[MAX_PATH] = {};
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        folder = fs::path(temp) / (L"kvlb-adapter-unload-" + std::to_wstring(GetCurrentProcessId()));
        fs::create_directories(folder);
        path = folder / L"KvlbTokenAdapter.dll";
        fs::copy_file(fs::path(test_support::windowsPath(KVLB_ADAPTER_LIBRARY)), path,
                      fs::copy_options::overwrite_existing);
        logout = parseJsonMap(R"({"FunctionName":"P11Logout"})");
        ASSERT_NE(logout, nullptr);
    }
    void TearDown() override {
        freeJsonMap(logout);
        std::error_code ec;
        fs::remove_all(folder, ec);
        clearComponentFiles();
    }

    bool load() {
        module = LoadLibraryW(path.c_str());
        if (module == nullptr) {
            ADD_FAILURE() << "LoadLibraryW failed: " << GetLastError();
            return false;
        }
        call = entry<CallMethodFunc>(module, "callMethod");
        callMap = entry<CallJsonMapMethodFunc>(module, "callJsonMapMethod");
        if (call != nullptr && callMap != nullptr) return true;
        ADD_FAILURE() << "the copy lacks its exports";
        FreeLibrary(module);
        return false;
    }
    // As the service ends a session: release, then free.
    void release() {
        call(kRelease);
        FreeLibrary(module);
    }
    // False (with the failure recorded) when the copy answered otherwise than it should.
    bool answers(const Calls& calls, bool withMap) {
        auto text = [](const char* answer) { return std::string(answer != nullptr ? answer : "<NULL>"); };
        bool ok = true;
        for (const auto& [request, expected] : calls) {
            std::string got = text(call(request));
            if (got != expected) {
                ADD_FAILURE() << request << " answered " << got << ", not " << expected;
                ok = false;
            }
        }
        if (withMap) {
            std::string got = text(callMap(logout, "P11Logout"));
            if (got != "61011") {
                ADD_FAILURE() << "callJsonMapMethod P11Logout answered " << got;
                ok = false;
            }
        }
        return ok;
    }

    fs::path folder;
    fs::path path;
    JsonMap* logout = nullptr;
    HMODULE module = nullptr;
    CallMethodFunc call = nullptr;
    CallJsonMapMethodFunc callMap = nullptr;
};

// Runs work on a thread of its own; once it is done, its thread waits until let go.
class CallerThread {
  public:
    explicit CallerThread(std::function<bool()> work) : work_(std::move(work)) {
        done_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        go_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
    }
    ~CallerThread() {
        SetEvent(go_);
        if (thread_) WaitForSingleObject(thread_, INFINITE);
        for (HANDLE h : {thread_, done_, go_})
            if (h) CloseHandle(h);
    }
    // The work's outcome, its thread still alive.
    bool result() {
        if (thread_ == nullptr) return false;
        WaitForSingleObject(done_, INFINITE);
        return ok_;
    }

  private:
    static DWORD WINAPI run(void* self) {
        auto me = static_cast<CallerThread*>(self);
        me->ok_ = me->work_();
        SetEvent(me->done_);
        WaitForSingleObject(me->go_, INFINITE);
        return 0;
    }
    std::function<bool()> work_;
    HANDLE done_, go_, thread_;
    bool ok_ = false;
};

}  // namespace

TEST_F(AdapterUnloadTest, FreedCopiesLeaveNoSlotHandleOrMemoryBehind) {
    expectNothingKeptOver(kCycles, kWarmUpCycles, [&] {
        if (!load()) return false;
        bool ok = answers(kSessionCalls, true);
        release();
        return ok;
    });
}

// The service calls a copy from its connections' threads: some end while the copy is loaded,
// others outlive it. Neither may leave the thread's part of the copy behind.
TEST_F(AdapterUnloadTest, ThreadsThatEndBeforeOrOutliveACopyLeaveNothingBehind) {
    expectNothingKeptOver(kThreadCycles, kWarmUpCycles, [&] {
        if (!load()) return false;
        bool ok = CallerThread([&] { return answers(kSessionCalls, true); }).result();
        CallerThread outliving([&] { return answers(kUnlockedCalls, false); });
        ok = outliving.result() && ok;
        release();
        return ok;  // the outliving thread ends after the copy is gone
    });
}
