// Threads, mutexes, events and waits; cross-process mutexes with a real
// second process.
#include "platform/sync/sync.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/lasterror.h"

namespace {

// ---- threads ----

struct Gate {
    KvHandle event;
    uint32_t seen_id = 0;
};

uint32_t WaitForGate(void* arg) {
    auto* gate = static_cast<Gate*>(arg);
    gate->seen_id = KvGetCurrentThreadId();
    return KvWaitForSingleObject(gate->event, KV_INFINITE) == KV_WAIT_OBJECT_0 ? 77u : 1u;
}

TEST(SyncThreads, ExitCodeIdsAndJoin) {
    Gate gate{KvCreateEvent(nullptr, 1, 0)};
    ASSERT_NE(gate.event, 0u);
    uint32_t id = 0;
    KvHandle thread = KvCreateThread(&WaitForGate, &gate, 0x10000, &id);
    ASSERT_NE(thread, 0u);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, KvGetCurrentThreadId());

    uint32_t code = 0;
    ASSERT_TRUE(KvGetExitCodeThread(thread, &code));
    EXPECT_EQ(code, KV_STILL_ACTIVE);
    EXPECT_EQ(KvWaitForSingleObject(thread, 0), KV_WAIT_TIMEOUT);

    ASSERT_TRUE(KvSetEvent(gate.event));
    EXPECT_EQ(KvWaitForSingleObject(thread, KV_INFINITE), KV_WAIT_OBJECT_0);
    ASSERT_TRUE(KvGetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 77u);
    EXPECT_EQ(gate.seen_id, id);
    // A finished thread stays signalled.
    EXPECT_EQ(KvWaitForSingleObject(thread, 0), KV_WAIT_OBJECT_0);
    EXPECT_TRUE(KvCloseHandle(thread));
    EXPECT_TRUE(KvCloseHandle(gate.event));

    EXPECT_EQ(KvCreateThread(nullptr, nullptr, 0, nullptr), 0u);
}

// Touches 128 KiB of its own stack.
uint32_t UseStack(void*) {
    volatile unsigned char block[128 * 1024];
    for (size_t i = 0; i < sizeof block; i += 512) block[i] = static_cast<unsigned char>(i >> 9);
    uint32_t sum = 0;
    for (size_t i = 0; i < sizeof block; i += 512) sum += block[i];
    return sum;
}

TEST(SyncThreads, SmallStackRequestsStillRunOrdinaryCode) {
    uint32_t expected = 0;
    for (size_t i = 0; i < 128 * 1024; i += 512) expected += static_cast<unsigned char>(i >> 9);
    for (uint32_t stack : {1u, 16u * 1024u, 64u * 1024u}) {
        SCOPED_TRACE(stack);
        KvHandle thread = KvCreateThread(&UseStack, nullptr, stack, nullptr);
        ASSERT_NE(thread, 0u);
        ASSERT_EQ(KvWaitForSingleObject(thread, KV_INFINITE), KV_WAIT_OBJECT_0);
        uint32_t code = 0;
        ASSERT_TRUE(KvGetExitCodeThread(thread, &code));
        EXPECT_EQ(code, expected);
        EXPECT_TRUE(KvCloseHandle(thread));
    }
}

// ---- events ----

TEST(SyncEvents, ManualAndAutoReset) {
    KvHandle manual = KvCreateEvent(nullptr, 1, 1);
    KvHandle automatic = KvCreateEvent(nullptr, 0, 1);
    ASSERT_NE(manual, 0u);
    ASSERT_NE(automatic, 0u);

    EXPECT_EQ(KvWaitForSingleObject(manual, 0), KV_WAIT_OBJECT_0);
    EXPECT_EQ(KvWaitForSingleObject(manual, 0), KV_WAIT_OBJECT_0);
    EXPECT_EQ(KvWaitForSingleObject(automatic, 0), KV_WAIT_OBJECT_0);
    EXPECT_EQ(KvWaitForSingleObject(automatic, 0), KV_WAIT_TIMEOUT);

    EXPECT_TRUE(KvResetEvent(manual));
    EXPECT_EQ(KvWaitForSingleObject(manual, 10), KV_WAIT_TIMEOUT);
    EXPECT_TRUE(KvSetEvent(automatic));
    EXPECT_TRUE(KvSetEvent(automatic));  // setting twice still releases one waiter
    EXPECT_EQ(KvWaitForSingleObject(automatic, 0), KV_WAIT_OBJECT_0);
    EXPECT_EQ(KvWaitForSingleObject(automatic, 0), KV_WAIT_TIMEOUT);
    KvCloseHandle(manual);
    KvCloseHandle(automatic);
}

TEST(SyncEvents, AcrossThreads) {
    // One auto-reset set releases exactly one of several waiters; a manual-
    // reset set releases all of them.
    for (KvBool manual : {0, 1}) {
        SCOPED_TRACE(manual ? "manual" : "auto");
        KvHandle event = KvCreateEvent(nullptr, manual, 0);
        std::atomic<int> woken{0};
        std::atomic<int> timed_out{0};
        std::thread waiters[4];
        for (auto& t : waiters) {
            t = std::thread([&] {
                uint32_t r = KvWaitForSingleObject(event, 300);
                if (r == KV_WAIT_OBJECT_0) ++woken;
                if (r == KV_WAIT_TIMEOUT) ++timed_out;
            });
        }
        EXPECT_TRUE(KvSetEvent(event));
        for (auto& t : waiters) t.join();
        EXPECT_EQ(woken.load(), manual ? 4 : 1);
        EXPECT_EQ(timed_out.load(), manual ? 0 : 3);
        KvCloseHandle(event);
    }
}

// ---- mutexes ----

TEST(SyncMutex, RecursiveOwnershipAndRelease) {
    KvHandle mutex = KvCreateMutex(nullptr, 1, 0);
    ASSERT_NE(mutex, 0u);
    EXPECT_EQ(KvWaitForSingleObject(mutex, 0), KV_WAIT_OBJECT_0);  // second level

    auto other_try = [&] {
        uint32_t r = 0;
        std::thread t([&] { r = KvWaitForSingleObject(mutex, 0); });
        t.join();
        return r;
    };
    EXPECT_EQ(other_try(), KV_WAIT_TIMEOUT);
    EXPECT_TRUE(KvReleaseMutex(mutex));
    EXPECT_EQ(other_try(), KV_WAIT_TIMEOUT);  // still one level held
    EXPECT_TRUE(KvReleaseMutex(mutex));

    kv::SetLastError(0);
    EXPECT_FALSE(KvReleaseMutex(mutex));  // not owned any more
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_NOT_OWNER);

    // A thread that does not own it cannot release it.
    ASSERT_EQ(KvWaitForSingleObject(mutex, 0), KV_WAIT_OBJECT_0);
    KvBool released = 1;
    std::thread([&] { released = KvReleaseMutex(mutex); }).join();
    EXPECT_FALSE(released);
    EXPECT_TRUE(KvReleaseMutex(mutex));
    KvCloseHandle(mutex);
}

uint32_t TakeAndQuit(void* arg) {
    KvHandle mutex = *static_cast<KvHandle*>(arg);
    return KvWaitForSingleObject(mutex, KV_INFINITE);
}

TEST(SyncMutex, OwnerThreadEndingAbandonsIt) {
    KvHandle mutex = KvCreateMutex(nullptr, 0, 0);
    // Through our own threads and through threads started otherwise.
    KvHandle thread = KvCreateThread(&TakeAndQuit, &mutex, 0, nullptr);
    ASSERT_NE(thread, 0u);
    ASSERT_EQ(KvWaitForSingleObject(thread, KV_INFINITE), KV_WAIT_OBJECT_0);
    EXPECT_EQ(KvWaitForSingleObject(mutex, 1000), KV_WAIT_ABANDONED_0);
    // The waiter that saw the abandonment owns it; the next wait is normal.
    EXPECT_TRUE(KvReleaseMutex(mutex));
    EXPECT_EQ(KvWaitForSingleObject(mutex, 0), KV_WAIT_OBJECT_0);
    EXPECT_TRUE(KvReleaseMutex(mutex));
    KvCloseHandle(thread);

    std::thread([&] { EXPECT_EQ(KvWaitForSingleObject(mutex, 0), KV_WAIT_OBJECT_0); }).join();
    KvHandle handles[] = {KvCreateEvent(nullptr, 1, 0), mutex};
    EXPECT_EQ(KvWaitForMultipleObjects(2, handles, 0, 1000), KV_WAIT_ABANDONED_0 + 1);
    EXPECT_TRUE(KvReleaseMutex(mutex));
    KvCloseHandle(handles[0]);
    KvCloseHandle(mutex);
}

TEST(SyncMutex, NamesShareOneObject) {
    kv::SetLastError(99);
    KvHandle a = KvCreateMutex("kv-test-named", 1, 0);
    ASSERT_NE(a, 0u);
    EXPECT_EQ(kv::GetLastError(), 0u);
    KvHandle b = KvCreateMutex("kv-test-named", 1, 0);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_ALREADY_EXISTS);
    EXPECT_NE(KvCreateMutex("kv-test-named-other", 0, 0), 0u);

    // Owned through a, so not free through b for another thread.
    uint32_t r = 0;
    std::thread([&] { r = KvWaitForSingleObject(b, 0); }).join();
    EXPECT_EQ(r, KV_WAIT_TIMEOUT);
    EXPECT_TRUE(KvReleaseMutex(b));  // same owner, same object
    std::thread([&] {
        r = KvWaitForSingleObject(b, 0);
        KvReleaseMutex(b);
    }).join();
    EXPECT_EQ(r, KV_WAIT_OBJECT_0);

    kv::SetLastError(0);
    EXPECT_EQ(KvCreateEvent("kv-test-named", 1, 0), 0u);  // name held by a mutex
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_INVALID_HANDLE);

    EXPECT_TRUE(KvCloseHandle(a));
    EXPECT_TRUE(KvCloseHandle(b));
    // The name is free again once its last handle is closed.
    KvHandle event = KvCreateEvent("kv-test-named", 1, 0);
    EXPECT_NE(event, 0u);
    EXPECT_EQ(kv::GetLastError(), 0u);
    KvCloseHandle(event);

    std::string long_name(300, 'n');
    EXPECT_EQ(KvCreateMutex(long_name.c_str(), 0, 0), 0u);
}

// ---- waits on several objects ----

TEST(SyncWait, AnyAndAll) {
    KvHandle e0 = KvCreateEvent(nullptr, 1, 0);
    KvHandle e1 = KvCreateEvent(nullptr, 0, 1);
    KvHandle e2 = KvCreateEvent(nullptr, 1, 1);
    KvHandle any[] = {e0, e1, e2};
    EXPECT_EQ(KvWaitForMultipleObjects(3, any, 0, 0), KV_WAIT_OBJECT_0 + 1);  // lowest signalled
    EXPECT_EQ(KvWaitForMultipleObjects(3, any, 0, 0), KV_WAIT_OBJECT_0 + 2);  // e1 was reset
    EXPECT_EQ(KvWaitForMultipleObjects(3, any, 1, 20), KV_WAIT_TIMEOUT);

    // Wait-all takes nothing unless it can take everything.
    KvHandle mutex = KvCreateMutex(nullptr, 0, 0);
    KvSetEvent(e1);
    KvHandle all[] = {e1, mutex, e2};
    KvHandle owned = KvCreateEvent(nullptr, 1, 0);
    KvHandle release = KvCreateEvent(nullptr, 1, 0);
    std::thread owner([&] {
        KvWaitForSingleObject(mutex, KV_INFINITE);
        KvSetEvent(owned);
        KvWaitForSingleObject(release, KV_INFINITE);
        KvReleaseMutex(mutex);
    });
    ASSERT_EQ(KvWaitForSingleObject(owned, 5000), KV_WAIT_OBJECT_0);
    EXPECT_EQ(KvWaitForMultipleObjects(3, all, 1, 30), KV_WAIT_TIMEOUT);
    EXPECT_EQ(KvWaitForSingleObject(e1, 0), KV_WAIT_OBJECT_0);  // e1 was not consumed
    KvSetEvent(e1);
    KvSetEvent(release);
    EXPECT_EQ(KvWaitForMultipleObjects(3, all, 1, 5000), KV_WAIT_OBJECT_0);
    owner.join();
    EXPECT_EQ(KvWaitForSingleObject(e1, 0), KV_WAIT_TIMEOUT);  // consumed now
    EXPECT_TRUE(KvReleaseMutex(mutex));                         // and the mutex is ours

    for (KvHandle h : {e0, e1, e2, mutex, owned, release}) KvCloseHandle(h);
}

// Times the calling thread gave up the processor (blocked) so far.
long Blocks() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

// A released mutex wakes one of the threads that wait for it alone, and
// nobody who waits for something else: a crowd of 32 waiters takes it in
// turn with about one wake-up each, and a thread waiting for an event sleeps
// through all those releases and 200 more of another mutex.
TEST(SyncWait, AReleaseWakesOneWaiterOfThatMutexAndNoOneElse) {
    constexpr int kWaiters = 32;
    KvHandle mutex = KvCreateMutex(nullptr, 1, 0);
    KvHandle other = KvCreateMutex(nullptr, 0, 0);
    KvHandle event = KvCreateEvent(nullptr, 1, 0);
    std::atomic<long> bystanderBlocks{-1};
    std::atomic<int> waiting{0};
    std::thread bystander([&] {
        const long before = Blocks();
        ++waiting;
        EXPECT_EQ(KvWaitForSingleObject(event, 30000), KV_WAIT_OBJECT_0);
        bystanderBlocks = Blocks() - before;
    });
    std::vector<long> blocks(kWaiters, -1);
    std::atomic<int> inside{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&, i] {
            const long before = Blocks();
            ++waiting;
            EXPECT_EQ(KvWaitForSingleObject(mutex, 30000), KV_WAIT_OBJECT_0);
            blocks[static_cast<size_t>(i)] = Blocks() - before;
            EXPECT_EQ(++inside, 1);
            // Hold it a while, so that the others stay asleep meanwhile.
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
            while (std::chrono::steady_clock::now() < until) {
            }
            --inside;
            EXPECT_TRUE(KvReleaseMutex(mutex));
        });
    }
    while (waiting.load() < kWaiters + 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // all of them asleep
    EXPECT_TRUE(KvReleaseMutex(mutex));
    for (std::thread& t : waiters) t.join();
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(KvWaitForSingleObject(other, 0), KV_WAIT_OBJECT_0);
        ASSERT_TRUE(KvReleaseMutex(other));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_TRUE(KvSetEvent(event));
    bystander.join();

    // Each wake-up of a waiter that cannot go on ends in a block of its own:
    // threads woken for every release block a dozen times each on average
    // here, and the bystander about once per release.
    long total = 0;
    for (long b : blocks) total += b;
    EXPECT_LE(total, 4 * kWaiters);
    EXPECT_LE(bystanderBlocks.load(), 10);
    for (KvHandle h : {mutex, other, event}) KvCloseHandle(h);
}

// Waits of every form on one mutex, many threads at once, some giving up
// after a millisecond and trying again: every taking is exclusive, and no
// thread is left asleep while the mutex is free (the waits that must succeed
// would time out).
TEST(SyncWait, ManyThreadsOfMixedWaitsShareAMutex) {
    constexpr int kThreads = 24;
    constexpr int kRounds = 300;
    KvHandle mutex = KvCreateMutex(nullptr, 0, 0);
    KvHandle never = KvCreateEvent(nullptr, 1, 0);
    KvHandle always = KvCreateEvent(nullptr, 1, 1);
    std::atomic<int> inside{0};
    std::atomic<int> taken{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                uint32_t r = KV_WAIT_FAILED;
                switch (t % 4) {
                    case 0:
                        r = KvWaitForSingleObject(mutex, 10000);
                        break;
                    case 1:
                        do {
                            r = KvWaitForSingleObject(mutex, 1);
                        } while (r == KV_WAIT_TIMEOUT);
                        break;
                    case 2: {
                        KvHandle any[] = {never, mutex};
                        r = KvWaitForMultipleObjects(2, any, 0, 10000);
                        if (r == KV_WAIT_OBJECT_0 + 1) r = KV_WAIT_OBJECT_0;
                        break;
                    }
                    case 3: {
                        KvHandle all[] = {always, mutex};
                        r = KvWaitForMultipleObjects(2, all, 1, 10000);
                        break;
                    }
                }
                if (r != KV_WAIT_OBJECT_0) {
                    ++failed;
                    return;
                }
                if (++inside != 1) ++failed;
                ++taken;
                if (round % 8 == 0) std::this_thread::yield();
                --inside;
                if (!KvReleaseMutex(mutex)) ++failed;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(taken.load(), kThreads * kRounds);
    for (KvHandle h : {mutex, never, always}) KvCloseHandle(h);
}

TEST(SyncWait, BadHandlesAndArguments) {
    KvHandle event = KvCreateEvent(nullptr, 1, 1);
    KvHandle mutex = KvCreateMutex(nullptr, 0, 0);
    KvHandle closed = KvCreateEvent(nullptr, 1, 1);
    ASSERT_TRUE(KvCloseHandle(closed));

    struct Case {
        const char* what;
        uint32_t count;
        KvHandle handles[3];
        KvBool all;
        uint32_t error;
    } cases[] = {
        {"zero handle", 1, {0}, 0, KV_ERROR_INVALID_HANDLE},
        {"unknown handle", 1, {0x7fffff00u}, 0, KV_ERROR_INVALID_HANDLE},
        {"closed handle", 1, {closed}, 0, KV_ERROR_INVALID_HANDLE},
        {"one bad among good", 2, {event, closed}, 0, KV_ERROR_INVALID_HANDLE},
        {"no handles", 0, {event}, 0, KV_ERROR_INVALID_PARAMETER},
        {"duplicate in wait-all", 2, {event, event}, 1, KV_ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kv::SetLastError(0);
        EXPECT_EQ(KvWaitForMultipleObjects(c.count, c.handles, c.all, 0), KV_WAIT_FAILED);
        EXPECT_EQ(kv::GetLastError(), c.error);
    }
    EXPECT_EQ(KvWaitForMultipleObjects(1, nullptr, 0, 0), KV_WAIT_FAILED);
    KvHandle many[KV_MAXIMUM_WAIT_OBJECTS + 1] = {};
    EXPECT_EQ(KvWaitForMultipleObjects(KV_MAXIMUM_WAIT_OBJECTS + 1, many, 0, 0), KV_WAIT_FAILED);

    // Operations on the wrong kind of object or on dead handles.
    EXPECT_FALSE(KvSetEvent(mutex));
    EXPECT_FALSE(KvResetEvent(closed));
    EXPECT_FALSE(KvReleaseMutex(event));
    uint32_t code = 0;
    EXPECT_FALSE(KvGetExitCodeThread(event, &code));
    EXPECT_FALSE(KvCloseHandle(closed));
    EXPECT_FALSE(KvCloseHandle(0));
    EXPECT_EQ(KvCreateMutex(nullptr, 0, KV_MUTEX_CROSS_PROCESS), 0u);  // needs a name
    KvCloseHandle(event);
    KvCloseHandle(mutex);
}

// ---- across processes ----

class CrossProcess : public testing::Test {
protected:
    void SetUp() override {
        std::string base = testing::TempDir() + "/kvlocksXXXXXX";
        ASSERT_NE(mkdtemp(base.data()), nullptr);
        lock_dir_ = base;
        setenv("KV_LOCK_DIR", (lock_dir_ + "/sub").c_str(), 1);  // created on demand
        // The helper is built beside the test program.
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        ASSERT_GT(n, 0);
        std::string dir(self, static_cast<size_t>(n));
        helper_ = dir.substr(0, dir.rfind('/')) + "/kvlockholder";
        ASSERT_EQ(access(helper_.c_str(), X_OK), 0) << helper_;
        name_ = "Global\\KvTest/" + std::to_string(getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    void TearDown() override {
        unsetenv("KV_LOCK_DIR");
        std::string command = "rm -rf '" + lock_dir_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    struct Child {
        pid_t pid = -1;
        int to_child = -1;
        int from_child = -1;
    };

    Child Spawn(const std::vector<std::string>& args) {
        int in[2], out[2];
        Child child;
        // Built before fork: the child of a threaded process may not allocate.
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(helper_.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (pipe(in) != 0 || pipe(out) != 0) return child;
        child.pid = fork();
        if (child.pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            execv(helper_.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        child.to_child = in[1];
        child.from_child = out[0];
        return child;
    }

    // Starts a child that holds the mutex; returns once it does.
    Child SpawnHolder() {
        Child child = Spawn({"hold", name_});
        EXPECT_GT(child.pid, 0);
        char c = 0;
        EXPECT_EQ(read(child.from_child, &c, 1), 1);
        EXPECT_EQ(c, 'L');
        return child;
    }

    int Finish(Child& child, char command) {
        if (command != 0) {
            EXPECT_EQ(write(child.to_child, &command, 1), 1);
        }
        close(child.to_child);
        close(child.from_child);
        int status = 0;
        EXPECT_EQ(waitpid(child.pid, &status, 0), child.pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int TryInChild(uint32_t timeout_ms) {
        Child child = Spawn({"try", name_, std::to_string(timeout_ms)});
        return Finish(child, 0);
    }

    std::string lock_dir_;
    std::string helper_;
    std::string name_;
};

TEST_F(CrossProcess, WaitBlocksUntilTheChildReleases) {
    Child child = SpawnHolder();
    KvHandle mutex = KvCreateMutex(name_.c_str(), 0, KV_MUTEX_CROSS_PROCESS);
    ASSERT_NE(mutex, 0u);
    EXPECT_EQ(KvWaitForSingleObject(mutex, 0), KV_WAIT_TIMEOUT);
    EXPECT_EQ(KvWaitForSingleObject(mutex, 50), KV_WAIT_TIMEOUT);

    std::atomic<bool> done{false};
    std::atomic<uint32_t> result{KV_WAIT_FAILED};
    std::thread waiter([&] {
        result = KvWaitForSingleObject(mutex, KV_INFINITE);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load()) << "the wait did not block while the child held the mutex";
    EXPECT_EQ(Finish(child, 'r'), 0);
    waiter.join();
    EXPECT_EQ(result.load(), KV_WAIT_OBJECT_0);

    // The waiting thread ended holding it: abandoned, in this process.
    EXPECT_EQ(KvWaitForSingleObject(mutex, 1000), KV_WAIT_ABANDONED_0);
    // While we hold it, another process times out; after release it gets it.
    EXPECT_EQ(TryInChild(30), 2);
    EXPECT_TRUE(KvReleaseMutex(mutex));
    EXPECT_EQ(TryInChild(5000), 0);
    EXPECT_TRUE(KvCloseHandle(mutex));
}

TEST_F(CrossProcess, ChildDyingWithTheMutexGivesAbandoned) {
    Child child = SpawnHolder();
    KvHandle mutex = KvCreateMutex(name_.c_str(), 0, KV_MUTEX_CROSS_PROCESS);
    ASSERT_NE(mutex, 0u);
    EXPECT_EQ(Finish(child, 'd'), 3);
    EXPECT_EQ(KvWaitForSingleObject(mutex, 5000), KV_WAIT_ABANDONED_0);
    // We own it now, recursively like any mutex.
    EXPECT_EQ(KvWaitForSingleObject(mutex, 0), KV_WAIT_OBJECT_0);
    EXPECT_TRUE(KvReleaseMutex(mutex));
    EXPECT_TRUE(KvReleaseMutex(mutex));
    EXPECT_EQ(KvWaitForSingleObject(mutex, 0), KV_WAIT_OBJECT_0);  // released properly: not abandoned
    EXPECT_TRUE(KvReleaseMutex(mutex));
    EXPECT_TRUE(KvCloseHandle(mutex));

    // A child killed by a signal while holding it.
    child = SpawnHolder();
    kill(child.pid, SIGKILL);
    EXPECT_EQ(Finish(child, 0), -1);
    EXPECT_EQ(TryInChild(5000), 1);
    EXPECT_EQ(TryInChild(5000), 0);
}

TEST_F(CrossProcess, InitiallyOwnedAndClosedWhileOwned) {
    KvHandle mutex = KvCreateMutex(name_.c_str(), 1, KV_MUTEX_CROSS_PROCESS);
    ASSERT_NE(mutex, 0u);
    EXPECT_EQ(TryInChild(20), 2);
    // Closing the last handle while owning it frees the lock but leaves the
    // abandonment for the next owner to see.
    EXPECT_TRUE(KvCloseHandle(mutex));
    EXPECT_EQ(TryInChild(5000), 1);

    // Asked to own at creation while another process holds it: not owned.
    Child child = SpawnHolder();
    mutex = KvCreateMutex(name_.c_str(), 1, KV_MUTEX_CROSS_PROCESS);
    ASSERT_NE(mutex, 0u);
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(KvReleaseMutex(mutex));
    EXPECT_EQ(Finish(child, 'r'), 0);
    EXPECT_EQ(KvWaitForSingleObject(mutex, 5000), KV_WAIT_OBJECT_0);
    EXPECT_TRUE(KvReleaseMutex(mutex));
    EXPECT_TRUE(KvCloseHandle(mutex));
}


TEST_F(CrossProcess, LongNamesAreSharedAndKeptApart) {
    // Names up to the platform's limit whose lock file names would be too
    // long for the file system: each still names one mutex across processes,
    // and names that differ only at the end stay different mutexes.
    const std::string head = name_ + "/";
    const std::string first = head + std::string(260 - head.size() - 1, '\\') + "A";
    const std::string second = first.substr(0, first.size() - 1) + "B";
    ASSERT_EQ(first.size(), 260u);
    name_ = first;
    Child child = SpawnHolder();
    KvHandle held = KvCreateMutex(first.c_str(), 0, KV_MUTEX_CROSS_PROCESS);
    ASSERT_NE(held, 0u);
    EXPECT_EQ(KvWaitForSingleObject(held, 20), KV_WAIT_TIMEOUT);
    name_ = second;
    EXPECT_EQ(TryInChild(5000), 0);
    EXPECT_EQ(Finish(child, 'r'), 0);
    EXPECT_EQ(KvWaitForSingleObject(held, 5000), KV_WAIT_OBJECT_0);
    EXPECT_TRUE(KvReleaseMutex(held));
    EXPECT_TRUE(KvCloseHandle(held));
    // One character more than the limit is refused.
    kv::SetLastError(0);
    EXPECT_EQ(KvCreateMutex((first + "x").c_str(), 0, KV_MUTEX_CROSS_PROCESS), 0u);
    EXPECT_EQ(kv::GetLastError(), KV_ERROR_FILENAME_EXCED_RANGE);
}


TEST_F(CrossProcess, PlantedLinkInTheLockFolderIsNotFollowed) {
    // The lock folder is shared by every user: a link planted under a lock
    // file's name must not let the mutex write into the file it points at.
    const std::string folder = lock_dir_ + "/sub";
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
    const std::string victim = lock_dir_ + "/victim.txt";
    {
        std::ofstream out(victim);
        out << "victim";
    }
    const std::string name = "KvPlanted" + std::to_string(getpid());  // kept as it stands in the file name
    ASSERT_EQ(symlink(victim.c_str(), (folder + "/" + name + ".lock").c_str()), 0);
    EXPECT_EQ(KvCreateMutex(name.c_str(), 1, KV_MUTEX_CROSS_PROCESS), 0u);
    std::ifstream in(victim);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "victim");
}

}  // namespace
