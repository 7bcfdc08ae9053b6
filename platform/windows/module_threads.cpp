// The POSIX-thread calls the compiler's runtime makes inside a DLL that is loaded and freed again
// and again (the adapter: one copy per caller session), answered by the DLL itself so that a freed
// copy leaves nothing behind in the process.
//
// Linked statically, winpthreads gives every copy its own TLS slot (TlsAlloc, never freed), a
// thread record with an event and a duplicate of the thread's handle for every thread the copy
// ran on, and a heap block for every mutex: all of it kept when the copy is freed, so after about
// a thousand sessions the service has no TLS slot left and aborts. The runtime pieces linked into
// the DLL (frame registration and exception handling, thread-local variables, guarded statics,
// std::mutex) use only the calls below; with them defined here, no object of winpthreads is
// linked at all. Should some change need a call of winpthreads' threads, mutexes, conditions or
// scheduling beyond these (pthread_self, a thread of its own), that object of winpthreads comes
// in and the link stops at the names both define.
//
// What this keeps is one TLS slot per key (the runtime's thread-local variables use one), taken
// when the key is made and freed with every thread's value when the copy is freed. Mutexes,
// conditions and once-flags are words of their own with nothing allocated.
#include <winsock2.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>

#include <pthread.h>
#include <sched.h>

namespace __gnu_cxx {
// libstdc++'s release of its emergency buffer for exceptions, which it never frees by itself.
void __freeres();
}  // namespace __gnu_cxx

namespace {

// Only calls that Windows XP has: no one-time init or slim locks of the system.
static_assert(sizeof(pthread_once_t) == sizeof(LONG) && sizeof(pthread_mutex_t) == sizeof(LONG) &&
                  sizeof(pthread_cond_t) == sizeof(LONG),
              "once-flags, mutexes and conditions are one word");

// ---- mutexes: a word, 1 while held, anything else free (the initializers are negative) ----

volatile LONG* word(intptr_t* p) {
    return reinterpret_cast<volatile LONG*>(p);
}

bool tryTake(volatile LONG* w) {
    LONG seen = *w;
    return seen != 1 && InterlockedCompareExchange(w, 1, seen) == seen;
}

// The holders keep a mutex for a short while (a log line, a table lookup): spin a little, then
// give the processor away, then sleep.
void pause(unsigned round) {
    if (round < 64)
        YieldProcessor();
    else if (round < 128)
        SwitchToThread();
    else
        Sleep(1);
}

// A lock of this file's own, for the key table.
volatile LONG keysWord = 0;
void lockKeys() {
    for (unsigned round = 0; !tryTake(&keysWord); ++round) pause(round);
}
void unlockKeys() {
    InterlockedExchange(&keysWord, 0);
}

// ---- keys: one TLS slot each, every thread's value listed so the copy can free them all ----

constexpr unsigned kMaxKeys = 8;

struct KeyValue {
    KeyValue* next;
    KeyValue* previous;
    unsigned key;
    void* value;
};

struct Key {
    DWORD slot;
    void (*destructor)(void*);
};

Key keys[kMaxKeys];
unsigned keyCount = 0;
KeyValue* values = nullptr;  // every thread's node of every key, under the keys lock
bool keysClosed = false;

void unlink(KeyValue* node) {
    if (node->previous)
        node->previous->next = node->next;
    else
        values = node->next;
    if (node->next) node->next->previous = node->previous;
}

// The calling thread's nodes out of the list, their values handed to the key destructors.
void endThreadValues() {
    lockKeys();
    KeyValue* mine[kMaxKeys] = {};
    unsigned count = keysClosed ? 0 : keyCount;
    for (unsigned k = 0; k < count; ++k) {
        mine[k] = static_cast<KeyValue*>(TlsGetValue(keys[k].slot));
        if (mine[k] == nullptr) continue;
        TlsSetValue(keys[k].slot, nullptr);
        unlink(mine[k]);
    }
    unlockKeys();
    for (unsigned k = 0; k < count; ++k) {
        if (mine[k] == nullptr) continue;
        if (mine[k]->value != nullptr && keys[k].destructor != nullptr) keys[k].destructor(mine[k]->value);
        free(mine[k]);
    }
}

// When the copy is freed: every thread's values, then the slots. Nothing of the runtime that
// could need a key runs after the last static destructor.
void closeKeys() {
    lockKeys();
    KeyValue* all = values;
    values = nullptr;
    keysClosed = true;
    unsigned count = keyCount;
    unlockKeys();
    while (all != nullptr) {
        KeyValue* node = all;
        all = node->next;
        if (node->value != nullptr && keys[node->key].destructor != nullptr)
            keys[node->key].destructor(node->value);
        free(node);
    }
    for (unsigned k = 0; k < count; ++k) TlsFree(keys[k].slot);
}

// Set when the copy goes because the process ends: its other threads are gone then, maybe in the
// middle of a call here, and the system takes back everything anyway.
bool processEnding = false;

// A thread ending while the copy is loaded gives back its values at once. Runs ahead of the
// module's static destructors.
void onThreadEvent(DWORD reason, PVOID reserved) {
    if (reason == DLL_THREAD_DETACH) endThreadValues();
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) processEnding = true;
}

// Built first of this module's statics, so destroyed last: after every destructor that could
// still use a thread-local variable or throw.
struct ModuleEnd {
    ~ModuleEnd() {
        if (processEnding) return;
        closeKeys();
        __gnu_cxx::__freeres();
    }
};
__attribute__((init_priority(101))) ModuleEnd moduleEnd;

}  // namespace

extern "C" {

// The runtime's entry calls it for every reason, after its own start-up and before its own end
// (the module's static destructors), on every Windows version, also for a copy loaded at run time.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    onThreadEvent(reason, reserved);
    return TRUE;
}

// A once-flag: 0 not run (the initializer), 1 running, 2 done; a second caller waits for the first.
int pthread_once(pthread_once_t* once, void (*routine)(void)) {
    volatile LONG* state = reinterpret_cast<volatile LONG*>(once);
    if (*state == 2) return 0;
    if (InterlockedCompareExchange(state, 1, 0) == 0) {
        routine();
        InterlockedExchange(state, 2);
        return 0;
    }
    for (unsigned round = 0; *state != 2; ++round) pause(round);
    return 0;
}

// Only plain mutexes: the runtime asks for no attributes.
int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attributes) {
    if (attributes != nullptr) return ENOTSUP;
    *word(mutex) = 0;
    return 0;
}

int pthread_mutex_destroy(pthread_mutex_t* mutex) {
    return *word(mutex) == 1 ? EBUSY : 0;
}

int pthread_mutex_lock(pthread_mutex_t* mutex) {
    for (unsigned round = 0; !tryTake(word(mutex)); ++round) pause(round);
    return 0;
}

int pthread_mutex_trylock(pthread_mutex_t* mutex) {
    return tryTake(word(mutex)) ? 0 : EBUSY;
}

int pthread_mutex_unlock(pthread_mutex_t* mutex) {
    InterlockedExchange(word(mutex), 0);
    return 0;
}

// A condition is a count of broadcasts; a waiter wakes once it has moved on. The count is read
// with the mutex held and moved by a broadcaster that holds it too, so no wake-up is lost; an
// early one is allowed, and the callers wait in a loop.
int pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
    LONG seen = *word(condition);
    pthread_mutex_unlock(mutex);
    for (unsigned round = 0; *word(condition) == seen; ++round) pause(round);
    return pthread_mutex_lock(mutex);
}

int pthread_cond_broadcast(pthread_cond_t* condition) {
    InterlockedIncrement(word(condition));
    return 0;
}

int pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    lockKeys();
    int status = 0;
    DWORD slot = TLS_OUT_OF_INDEXES;
    if (keysClosed || keyCount == kMaxKeys || (slot = TlsAlloc()) == TLS_OUT_OF_INDEXES) {
        status = EAGAIN;
    } else {
        keys[keyCount] = Key{slot, destructor};
        *key = keyCount++;
    }
    unlockKeys();
    return status;
}

void* pthread_getspecific(pthread_key_t key) {
    if (key >= keyCount || keysClosed) return nullptr;
    DWORD error = GetLastError();  // callers may be in the middle of reporting one
    auto node = static_cast<KeyValue*>(TlsGetValue(keys[key].slot));
    SetLastError(error);
    return node != nullptr ? node->value : nullptr;
}

int pthread_setspecific(pthread_key_t key, const void* value) {
    if (key >= keyCount) return EINVAL;
    auto node = static_cast<KeyValue*>(TlsGetValue(keys[key].slot));
    if (node == nullptr) {
        if (value == nullptr) return 0;
        node = static_cast<KeyValue*>(calloc(1, sizeof(KeyValue)));
        if (node == nullptr) return ENOMEM;
        node->key = key;
        lockKeys();
        bool closed = keysClosed;
        if (!closed) {
            node->next = values;
            if (values) values->previous = node;
            values = node;
            TlsSetValue(keys[key].slot, node);
        }
        unlockKeys();
        if (closed) {
            free(node);
            return EINVAL;
        }
    }
    node->value = const_cast<void*>(value);
    return 0;
}

int sched_yield(void) {
    SwitchToThread();
    return 0;
}

}  // extern "C"
