// A session's copy of the adapter, once freed, must leave nothing behind in the service: the
// service loads one per caller session for as long as it runs, and a process has a fixed number
// of thread-local-storage slots (1,088), so a copy that keeps one brings the service down after
// about a thousand sessions. Here a copy is loaded, used on its ordinary and its error paths, and
// freed, many more times than a process has slots, while the lowest free slot, the handles and
// the memory of this process are watched.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "adapter/tests/adapter_test_machine.h"
#include "common/json_map.h"

namespace {

typedef const char* (*CallMethodFunc)(const char*);
typedef const char* (*CallJsonMapMethodFunc)(JsonMap*, const char*);

// Past the 1,088 slots a process has, so a copy that keeps one cannot get through.
constexpr int kCycles = 1200;
// The first cycles may set up what the process keeps for good (COM, the component's server, the
// C runtime's buffers); from then on every cycle must give back all it took.
constexpr int kWarmUpCycles = 50;
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

class AdapterUnloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(machine.registerComponent());
        // The component fails P11Logout with error information: the adapter's error path, where
        // the COM error is thrown and caught inside the copy.
        machine.setComponentSetting("component_fail", "P11Logout");
        path = machine.placeAdapterCopy("Session_0");
        logout = parseJsonMap(R"({"FunctionName":"P11Logout"})");
        ASSERT_NE(logout, nullptr);
    }
    void TearDown() override { freeJsonMap(logout); }

    // One session: load, the calls of a session, release, free. False (with the failure
    // recorded) when the copy did not load or answered otherwise than it should.
    bool session() {
        HMODULE module = LoadLibraryW(path.c_str());
        if (module == nullptr) {
            ADD_FAILURE() << "LoadLibraryW failed: " << GetLastError();
            return false;
        }
        auto call = entry<CallMethodFunc>(module, "callMethod");
        auto callMap = entry<CallJsonMapMethodFunc>(module, "callJsonMapMethod");
        bool ok = call != nullptr && callMap != nullptr;
        EXPECT_TRUE(ok);
        auto answer = [](const char* text) { return std::string(text != nullptr ? text : "<NULL>"); };
        if (ok) {
            const std::pair<const char*, const char*> calls[] = {
                {R"({"FunctionName":"Tessarion_GetVersion"})", "1,0,20,907"},
                {R"({"FunctionName":"P11Logout"})", "61908"},  // locked: refused before the component
                {R"({"FunctionName":"Tessarion_Unlock","TessarionFunctionIndex":"-2","url":"https://app.)" KVLB_WEB_DOMAIN
                 R"("})",
                 "0"},
                {R"({"FunctionName":"C_P11Sign","hStore":"-7","strData":")"
                 "caf\xC3\xA9"
                 R"(","signcodepage":"",)"
                 R"("iFlags":"1","iHashFlag":"2"})",
                 "C_P11Sign:ok"},
                {R"({"FunctionName":"P11Logout"})", "61011"},  // the component's failure
                {R"({"FunctionName":"NoSuchFunction"})", "61005"},
                {"not json", "61005"},
            };
            for (const auto& [request, expected] : calls) {
                std::string got = answer(call(request));
                if (got != expected) {
                    ADD_FAILURE() << request << " answered " << got << ", not " << expected;
                    ok = false;
                }
            }
            std::string got = answer(callMap(logout, "P11Logout"));
            if (got != "61011") {
                ADD_FAILURE() << "callJsonMapMethod P11Logout answered " << got;
                ok = false;
            }
            call(R"({"FunctionName":"Tessarion_Release","TessarionFunctionIndex":"-3"})");
        }
        FreeLibrary(module);
        return ok;
    }

    TestMachine machine;
    std::wstring path;
    JsonMap* logout = nullptr;
};

}  // namespace

TEST_F(AdapterUnloadTest, FreedCopiesLeaveNoSlotHandleOrMemoryBehind) {
    const ProcessState start = processState();
    print("before the first copy", 0, start);
    for (int i = 1; i <= kWarmUpCycles; ++i) ASSERT_TRUE(session()) << "cycle " << i;
    const ProcessState base = processState();
    print("after the warm-up", kWarmUpCycles, base);

    ProcessState now = base;
    int cycle = kWarmUpCycles;
    while (cycle < kCycles) {
        ++cycle;
        ASSERT_TRUE(session()) << "cycle " << cycle;
        // Checked every cycle: a copy that keeps a slot is seen at once, long before the process
        // runs out of them.
        DWORD index = lowestFreeTlsIndex();
        if (index != base.lowestFreeTlsIndex) {
            now = processState();
            print("a slot was kept", cycle, now);
            FAIL() << "after cycle " << cycle << " the lowest free TLS index is " << index << ", not "
                   << base.lowestFreeTlsIndex;
        }
        if (cycle % 200 == 0 || cycle == kCycles) {
            now = processState();
            print("so far", cycle, now);
        }
    }
    const int counted = kCycles - kWarmUpCycles;
    const long long handlesKept = (static_cast<long long>(now.nextHandle) - base.nextHandle) / 4;
    std::printf("per cycle after the warm-up: private bytes %+.1f, heap bytes %+.1f, handles %+.3f\n",
                double(now.privateBytes - base.privateBytes) / counted,
                double(now.heapBytes - base.heapBytes) / counted, double(handlesKept) / counted);
    EXPECT_LE(now.privateBytes - base.privateBytes, kMemorySlack);
    EXPECT_LE(now.heapBytes - base.heapBytes, kMemorySlack);
    EXPECT_LE(handlesKept, kHandleSlack);
}
