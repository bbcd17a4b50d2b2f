// Threads, mutexes and events behind one handle table.
//
// All objects share one lock, which keeps waits on several objects, including
// "wait for all", simple and atomic. A waiting thread sleeps on its own
// condition variable and is listed with each object it waits for; a state
// change wakes only the waiters of that object. A released mutex can go to
// one thread only, so of the threads that wait for that mutex alone just one
// is woken (the longest waiting, unless one woken earlier has not run yet):
// it takes the mutex, or finds it taken again by a thread that came first and
// whose release wakes the next. Waits on several objects re-check all of them
// and are always woken. An event set or a thread ended wakes all its waiters.
// Cross-process mutexes add a lock file held with flock(); since another
// process cannot wake us, waits that involve one also poll at a short
// interval.
#include "platform/sync/sync.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/base/lasterror.h"

namespace {

using Clock = std::chrono::steady_clock;

// A thread blocked in Wait, listed with every object it waits for.
struct Waiter {
    std::condition_variable wake;
    bool single = false;     // waits for one object only
    bool signalled = false;  // woken for a released mutex, not yet run
};

enum class Kind { kThread, kMutex, kEvent };

// Longest object name accepted (the platform's path limit).
constexpr size_t kMaxName = 260;
// Smallest stack given to a thread; requests below it are raised.
constexpr size_t kMinStack = 256 * 1024;
// Poll interval of waits that involve a cross-process mutex.
constexpr auto kCrossProcessPoll = std::chrono::milliseconds(5);

// Marker in byte 0 of a lock file: '1' while a process owns the mutex, '0'
// once it released it. A '1' found by the next owner means the previous one
// died holding it.
constexpr char kOwnedMark = '1';
constexpr char kFreeMark = '0';

struct Object {
    Kind kind;
    std::string name;
    // thread
    bool finished = false;
    uint32_t exit_code = KV_STILL_ACTIVE;
    uint32_t thread_id = 0;
    // mutex
    uint32_t owner = 0;
    uint32_t recursion = 0;
    bool abandoned = false;
    int fd = -1;  // lock file of a cross-process mutex
    // event
    bool manual = false;
    bool set = false;
    // handles open on it; a name is freed when the last one closes
    uint32_t open_handles = 0;
    // threads blocked waiting for it, longest waiting first
    std::vector<Waiter*> waiters;

    explicit Object(Kind k) : kind(k) {}
    ~Object() {
        if (fd >= 0) close(fd);  // drops the file lock if still held
    }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
};

using ObjectPtr = std::shared_ptr<Object>;

struct State {
    std::mutex lock;
    std::condition_variable started;  // a new thread has its id
    std::unordered_map<KvHandle, ObjectPtr> handles;
    std::unordered_map<std::string, std::weak_ptr<Object>> names;
    KvHandle next = 1;
};

// Never destroyed: detached threads may still finish after static
// destruction began.
State& S() {
    static State* state = new State;
    return *state;
}

uint32_t CurrentThreadId() {
    thread_local uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    return id;
}

// Called with the lock held.
KvHandle AddHandleLocked(State& s, ObjectPtr object) {
    for (;;) {
        KvHandle h = s.next++;
        if (s.next == 0) s.next = 1;
        if (h != 0 && s.handles.find(h) == s.handles.end()) {
            ++object->open_handles;
            s.handles.emplace(h, std::move(object));
            return h;
        }
    }
}

ObjectPtr FindLocked(State& s, KvHandle handle) {
    auto it = s.handles.find(handle);
    if (it == s.handles.end()) return nullptr;
    return it->second;
}

// Wakes the waiters of an object whose state changed (lock held; a waiter
// leaves its list only under the lock, so it is alive here).
void WakeAllLocked(Object& o) {
    for (Waiter* w : o.waiters) w->wake.notify_one();
}

// The same for a mutex that became free: every waiter on several objects,
// but of those waiting for this mutex alone only one.
void WakeForReleaseLocked(Object& o) {
    Waiter* first = nullptr;
    bool pending = false;
    for (Waiter* w : o.waiters) {
        if (!w->single) {
            w->wake.notify_one();
        } else if (w->signalled) {
            pending = true;
        } else if (first == nullptr) {
            first = w;
        }
    }
    if (!pending && first != nullptr) {
        first->signalled = true;
        first->wake.notify_one();
    }
}

// ---- cross-process lock files ----

std::string LockFolder() {
    const char* env = std::getenv("KV_LOCK_DIR");
    std::string dir = env != nullptr && env[0] != '\0' ? env : "/tmp/kelvaron-locks";
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

bool MakeFolders(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(dir.substr(0, slash))) return false;
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return false;
    // Shared by every user of the machine, as the platform's names are.
    chmod(dir.c_str(), 01777);
    return true;
}

// Longest encoded name kept whole in a lock file name; file names end at
// 255 bytes.
constexpr size_t kMaxLockName = 200;

// The lock file name of a mutex name: safe characters kept, others %XX. A
// longer form keeps its first kMaxLockName characters and ends in "~" and a
// 64-bit FNV-1a hash of the whole name ("~" is never kept as it stands, so
// such a name cannot meet the form of a shorter one).
std::string LockFileName(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
            c == '.') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    if (out.size() > kMaxLockName) {
        uint64_t hash = 14695981039346656037ull;
        for (unsigned char c : name) {
            hash ^= c;
            hash *= 1099511628211ull;
        }
        out.resize(kMaxLockName);
        out += '~';
        for (int shift = 60; shift >= 0; shift -= 4) out += hex[(hash >> shift) & 15];
    }
    return out + ".lock";
}

int OpenLockFile(const std::string& name) {
    std::string dir = LockFolder();
    if (!MakeFolders(dir)) {
        kv::SetLastErrorFromErrno(errno);
        return -1;
    }
    std::string path = dir + "/" + LockFileName(name);
    // The folder is shared: never follow a link planted in it.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        kv::SetLastErrorFromErrno(errno);
        return -1;
    }
    fchmod(fd, 0666);  // open to every user whatever the umask (fails harmlessly when not ours)
    return fd;
}

// Takes the file lock without blocking; *was_abandoned tells whether the
// previous owner process ended without releasing.
bool TryLockFile(int fd, bool* was_abandoned) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    char mark = kFreeMark;
    *was_abandoned = pread(fd, &mark, 1, 0) == 1 && mark == kOwnedMark;
    char owned = kOwnedMark;
    if (pwrite(fd, &owned, 1, 0) != 1) {
        // Without the marker a later death would go unnoticed; still owned.
    }
    return true;
}

void UnlockFile(int fd, char mark) {
    if (pwrite(fd, &mark, 1, 0) != 1) {
        // The lock itself is what matters; the marker only reports deaths.
    }
    flock(fd, LOCK_UN);
}

// ---- acquisition (lock held) ----

// Whether the object could be taken now by `tid`, without side effects.
// Cross-process mutexes also need their file lock (see TryTakeFileLocks).
bool Ready(const Object& o, uint32_t tid) {
    switch (o.kind) {
        case Kind::kThread:
            return o.finished;
        case Kind::kEvent:
            return o.set;
        case Kind::kMutex:
            return o.owner == 0 || o.owner == tid;
    }
    return false;
}

bool NeedsFileLock(const Object& o, uint32_t tid) { return o.kind == Kind::kMutex && o.fd >= 0 && o.owner != tid; }

// Takes the object, which is Ready and whose file lock (if any) is held.
// Returns true when a mutex was abandoned by its previous owner.
bool Take(Object& o, uint32_t tid, bool file_abandoned) {
    switch (o.kind) {
        case Kind::kThread:
            return false;
        case Kind::kEvent:
            if (!o.manual) o.set = false;
            return false;
        case Kind::kMutex: {
            if (o.owner == tid) {
                ++o.recursion;
                return false;
            }
            o.owner = tid;
            o.recursion = 1;
            bool abandoned = o.abandoned || file_abandoned;
            o.abandoned = false;
            return abandoned;
        }
    }
    return false;
}

// Ownership of mutexes held by a thread that ends passes to the next waiter,
// marked abandoned.
void AbandonOwnedBy(uint32_t tid) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    for (auto& [handle, object] : s.handles) {
        Object& o = *object;
        if (o.kind != Kind::kMutex || o.owner != tid) continue;
        o.owner = 0;
        o.recursion = 0;
        if (o.fd >= 0) {
            // The owned mark stays in the file: whoever takes it next, here or
            // in another process, sees the abandonment there.
            flock(o.fd, LOCK_UN);
        } else {
            o.abandoned = true;
        }
        WakeForReleaseLocked(o);
    }
}

// Runs when a thread that ever took a mutex ends (also for threads that were
// not started through KvCreateThread).
struct ThreadExitHook {
    bool armed = false;
    ~ThreadExitHook() {
        if (armed) AbandonOwnedBy(CurrentThreadId());
    }
};

void ArmThreadExitHook() {
    thread_local ThreadExitHook hook;
    hook.armed = true;
}

// ---- creation ----

// Creates or opens a named object; unnamed when name is null or empty.
KvHandle CreateObject(Kind kind, const char* name, const std::function<bool(Object&)>& init, bool* existed) {
    *existed = false;
    std::string key;
    if (name != nullptr && name[0] != '\0') {
        size_t length = strnlen(name, kMaxName + 1);
        if (length > kMaxName) {
            kv::SetLastError(KV_ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        key.assign(name, length);
    }
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!key.empty()) {
        auto it = s.names.find(key);
        if (it != s.names.end()) {
            if (ObjectPtr existing = it->second.lock()) {
                if (existing->kind != kind) {
                    kv::SetLastError(KV_ERROR_INVALID_HANDLE);
                    return 0;
                }
                *existed = true;
                KvHandle h = AddHandleLocked(s, existing);
                kv::SetLastError(KV_ERROR_ALREADY_EXISTS);
                return h;
            }
            s.names.erase(it);
        }
    }
    auto object = std::make_shared<Object>(kind);
    object->name = key;
    if (!init(*object)) return 0;
    if (!key.empty()) s.names[key] = object;
    KvHandle h = AddHandleLocked(s, std::move(object));
    kv::SetLastError(0);
    return h;
}

struct ThreadStart {
    KvThreadProc proc;
    void* argument;
    ObjectPtr object;
};

void* ThreadMain(void* raw) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(raw));
    State& s = S();
    const uint32_t tid = CurrentThreadId();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        start->object->thread_id = tid;
    }
    s.started.notify_all();
    uint32_t code = start->proc(start->argument);
    AbandonOwnedBy(tid);
    {
        std::lock_guard<std::mutex> guard(s.lock);
        start->object->exit_code = code;
        start->object->finished = true;
        WakeAllLocked(*start->object);
    }
    return nullptr;
}

// ---- waiting ----

uint32_t Wait(uint32_t count, const KvHandle* handles, bool wait_all, uint32_t timeout_ms) {
    if (count == 0 || count > KV_MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        kv::SetLastError(KV_ERROR_INVALID_PARAMETER);
        return KV_WAIT_FAILED;
    }
    const uint32_t tid = CurrentThreadId();
    const bool infinite = timeout_ms == KV_INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeout_ms);

    State& s = S();
    std::unique_lock<std::mutex> guard(s.lock);
    std::vector<ObjectPtr> objects;
    objects.reserve(count);
    bool cross = false;
    bool has_mutex = false;
    for (uint32_t i = 0; i < count; ++i) {
        ObjectPtr o = FindLocked(s, handles[i]);
        if (o == nullptr) {
            kv::SetLastError(KV_ERROR_INVALID_HANDLE);
            return KV_WAIT_FAILED;
        }
        if (wait_all) {
            for (const ObjectPtr& other : objects) {
                if (other == o) {
                    kv::SetLastError(KV_ERROR_INVALID_PARAMETER);
                    return KV_WAIT_FAILED;
                }
            }
        }
        cross = cross || o->fd >= 0;
        has_mutex = has_mutex || o->kind == Kind::kMutex;
        objects.push_back(std::move(o));
    }
    if (has_mutex) ArmThreadExitHook();

    // Listed with every object until the wait ends (the lock is held then:
    // `guard` is released after `listed`).
    Waiter me;
    me.single = count == 1;
    struct Listed {
        std::vector<ObjectPtr>& objects;
        Waiter* waiter;
        ~Listed() {
            for (const ObjectPtr& o : objects) std::erase(o->waiters, waiter);
        }
    } listed{objects, &me};
    for (const ObjectPtr& o : objects) o->waiters.push_back(&me);

    for (;;) {
        if (wait_all) {
            bool ready = std::all_of(objects.begin(), objects.end(), [&](const ObjectPtr& o) { return Ready(*o, tid); });
            if (ready) {
                // File locks last, all or none.
                std::vector<bool> file_abandoned(count, false);
                uint32_t locked = 0;
                bool all_locked = true;
                for (; locked < count; ++locked) {
                    Object& o = *objects[locked];
                    if (!NeedsFileLock(o, tid)) continue;
                    bool abandoned = false;
                    if (!TryLockFile(o.fd, &abandoned)) {
                        all_locked = false;
                        break;
                    }
                    file_abandoned[locked] = abandoned;
                }
                if (all_locked) {
                    uint32_t result = KV_WAIT_OBJECT_0;
                    bool reported = false;
                    for (uint32_t i = 0; i < count; ++i) {
                        if (Take(*objects[i], tid, file_abandoned[i]) && !reported) {
                            result = KV_WAIT_ABANDONED_0 + i;
                            reported = true;
                        }
                    }
                    return result;
                }
                for (uint32_t i = 0; i < locked; ++i) {
                    Object& o = *objects[i];
                    if (NeedsFileLock(o, tid)) UnlockFile(o.fd, file_abandoned[i] ? kOwnedMark : kFreeMark);
                }
            }
        } else {
            for (uint32_t i = 0; i < count; ++i) {
                Object& o = *objects[i];
                if (!Ready(o, tid)) continue;
                bool file_abandoned = false;
                if (NeedsFileLock(o, tid) && !TryLockFile(o.fd, &file_abandoned)) continue;
                return Take(o, tid, file_abandoned) ? KV_WAIT_ABANDONED_0 + i : KV_WAIT_OBJECT_0 + i;
            }
        }
        if (!infinite && Clock::now() >= deadline) return KV_WAIT_TIMEOUT;
        if (cross) {
            auto until = Clock::now() + kCrossProcessPoll;
            if (!infinite && deadline < until) until = deadline;
            me.wake.wait_until(guard, until);
        } else if (infinite) {
            me.wake.wait(guard);
        } else {
            me.wake.wait_until(guard, deadline);
        }
        me.signalled = false;
    }
}

}  // namespace

extern "C" {

KvHandle KvCreateThread(KvThreadProc proc, void* argument, uint32_t stack_size, uint32_t* thread_id) {
    if (proc == nullptr) {
        kv::SetLastError(KV_ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto object = std::make_shared<Object>(Kind::kThread);
    State& s = S();
    KvHandle handle;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        handle = AddHandleLocked(s, object);
    }
    auto* start = new ThreadStart{proc, argument, object};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    size_t stack = std::max<size_t>(stack_size, kMinStack);
    pthread_attr_setstacksize(&attr, stack);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, &ThreadMain, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        std::lock_guard<std::mutex> guard(s.lock);
        s.handles.erase(handle);
        kv::SetLastError(rc == EAGAIN ? KV_ERROR_NOT_ENOUGH_MEMORY : kv::ErrorFromErrno(rc));
        return 0;
    }
    std::unique_lock<std::mutex> guard(s.lock);
    s.started.wait(guard, [&] { return object->thread_id != 0; });
    if (thread_id != nullptr) *thread_id = object->thread_id;
    return handle;
}

KvBool KvGetExitCodeThread(KvHandle thread, uint32_t* exit_code) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    ObjectPtr o = FindLocked(s, thread);
    if (o == nullptr || o->kind != Kind::kThread) {
        kv::SetLastError(KV_ERROR_INVALID_HANDLE);
        return 0;
    }
    if (exit_code == nullptr) {
        kv::SetLastError(KV_ERROR_INVALID_PARAMETER);
        return 0;
    }
    *exit_code = o->exit_code;
    return 1;
}

uint32_t KvGetCurrentThreadId(void) { return CurrentThreadId(); }

KvHandle KvCreateMutex(const char* name, KvBool initially_owned, uint32_t flags) {
    const bool cross = (flags & KV_MUTEX_CROSS_PROCESS) != 0;
    if (cross && (name == nullptr || name[0] == '\0')) {
        kv::SetLastError(KV_ERROR_INVALID_PARAMETER);  // other processes find it by name
        return 0;
    }
    const uint32_t tid = CurrentThreadId();
    bool not_owned = false;
    bool existed = false;
    KvHandle h = CreateObject(
        Kind::kMutex, name,
        [&](Object& o) {
            if (cross) {
                o.fd = OpenLockFile(o.name);
                if (o.fd < 0) return false;
            }
            if (initially_owned) {
                bool abandoned = false;
                if (o.fd >= 0 && !TryLockFile(o.fd, &abandoned)) {
                    not_owned = true;  // another process owns it
                    return true;
                }
                o.owner = tid;
                o.recursion = 1;
            }
            return true;
        },
        &existed);
    if (h != 0 && initially_owned && !existed) {
        ArmThreadExitHook();
        if (not_owned) kv::SetLastError(KV_ERROR_ALREADY_EXISTS);
    }
    return h;
}

KvBool KvReleaseMutex(KvHandle mutex) {
    State& s = S();
    std::unique_lock<std::mutex> guard(s.lock);
    ObjectPtr o = FindLocked(s, mutex);
    if (o == nullptr || o->kind != Kind::kMutex) {
        kv::SetLastError(KV_ERROR_INVALID_HANDLE);
        return 0;
    }
    if (o->owner != CurrentThreadId() || o->recursion == 0) {
        kv::SetLastError(KV_ERROR_NOT_OWNER);
        return 0;
    }
    if (--o->recursion == 0) {
        o->owner = 0;
        if (o->fd >= 0) UnlockFile(o->fd, kFreeMark);
        WakeForReleaseLocked(*o);
    }
    return 1;
}

KvHandle KvCreateEvent(const char* name, KvBool manual_reset, KvBool initially_set) {
    bool existed = false;
    return CreateObject(
        Kind::kEvent, name,
        [&](Object& o) {
            o.manual = manual_reset != 0;
            o.set = initially_set != 0;
            return true;
        },
        &existed);
}

static KvBool SetEventState(KvHandle event, bool set) {
    State& s = S();
    std::unique_lock<std::mutex> guard(s.lock);
    ObjectPtr o = FindLocked(s, event);
    if (o == nullptr || o->kind != Kind::kEvent) {
        kv::SetLastError(KV_ERROR_INVALID_HANDLE);
        return 0;
    }
    o->set = set;
    if (set) WakeAllLocked(*o);
    return 1;
}

KvBool KvSetEvent(KvHandle event) { return SetEventState(event, true); }

KvBool KvResetEvent(KvHandle event) { return SetEventState(event, false); }

uint32_t KvWaitForSingleObject(KvHandle handle, uint32_t timeout_ms) { return Wait(1, &handle, false, timeout_ms); }

uint32_t KvWaitForMultipleObjects(uint32_t count, const KvHandle* handles, KvBool wait_all, uint32_t timeout_ms) {
    return Wait(count, handles, wait_all != 0, timeout_ms);
}

KvBool KvCloseHandle(KvHandle handle) {
    State& s = S();
    ObjectPtr doomed;  // destroyed after the lock is released
    {
        std::lock_guard<std::mutex> guard(s.lock);
        auto it = s.handles.find(handle);
        if (it == s.handles.end()) {
            kv::SetLastError(KV_ERROR_INVALID_HANDLE);
            return 0;
        }
        doomed = std::move(it->second);
        s.handles.erase(it);
        if (--doomed->open_handles == 0 && !doomed->name.empty()) {
            auto name = s.names.find(doomed->name);
            if (name != s.names.end() && name->second.lock() == doomed) s.names.erase(name);
        }
    }
    return 1;
}

}  // extern "C"
