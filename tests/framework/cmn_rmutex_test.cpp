#include "cmn_rmutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

// tryenter() from a thread of its own; leaves the mutex as it found it.
int TryenterFromOtherThread(CMN_RecursiveMutex& m) {
    int got = -1;
    std::thread([&] {
        got = m.tryenter();
        if (got == 1) m.exit();
    }).join();
    return got;
}

}  // namespace

TEST(RecursiveMutex, StartsFreeAndNestsPerOwner) {
    CMN_RecursiveMutex m("");
    EXPECT_EQ(m.depth, 0u);
    EXPECT_EQ(m.owner, pthread_t(0));

    m.enter();
    m.enter();
    m.enter();
    EXPECT_EQ(m.depth, 3u);
    EXPECT_TRUE(pthread_equal(m.owner, pthread_self()));

    m.exit();
    m.exit();
    EXPECT_EQ(m.depth, 1u);
    EXPECT_TRUE(pthread_equal(m.owner, pthread_self()));
    EXPECT_EQ(TryenterFromOtherThread(m), 0) << "one level is still held";
    EXPECT_EQ(m.depth, 1u) << "a refused tryenter changes nothing";

    m.exit();
    EXPECT_EQ(m.depth, 0u);
    EXPECT_EQ(m.owner, pthread_t(0));
    EXPECT_EQ(TryenterFromOtherThread(m), 1);
    EXPECT_EQ(m.depth, 0u);
}

TEST(RecursiveMutex, TryenterByTheOwnerNestsOverTheLockedMutex) {
    CMN_RecursiveMutex m("RefMutex");
    ASSERT_EQ(m.tryenter(), 1);
    EXPECT_EQ(m.depth, 1u);
    EXPECT_EQ(pthread_mutex_trylock(&m.mutex), EBUSY) << "the POSIX mutex itself is held";

    EXPECT_EQ(m.tryenter(), 1);
    EXPECT_EQ(m.depth, 2u);
    m.enter();
    EXPECT_EQ(m.depth, 3u);
    m.exit();
    m.exit();
    m.exit();
    EXPECT_EQ(m.depth, 0u);
    ASSERT_EQ(pthread_mutex_trylock(&m.mutex), 0) << "the last exit released the POSIX mutex";
    pthread_mutex_unlock(&m.mutex);
}

TEST(RecursiveMutex, EnterWaitsUntilTheOwnerLeavesItsLastLevel) {
    CMN_RecursiveMutex m("");
    m.enter();
    m.enter();
    std::atomic<bool> entered{false};
    std::thread other([&] {
        m.enter();
        entered = true;
        EXPECT_EQ(m.depth, 1u);
        m.exit();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load());
    m.exit();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load()) << "one level is still held";
    m.exit();
    other.join();
    EXPECT_TRUE(entered.load());
    EXPECT_EQ(m.depth, 0u);
}

TEST(Mutex, ExcludesOtherThreadsAndIsNeverCopied) {
    CMN_Mutex m;
    m.lock();
    int otherTry = 0;
    std::thread([&] {
        otherTry = pthread_mutex_trylock(&m.mutex);
        if (otherTry == 0) pthread_mutex_unlock(&m.mutex);
    }).join();
    EXPECT_EQ(otherTry, EBUSY);

    // A copy is a fresh, free mutex; assignment leaves the target's mutex alone.
    CMN_Mutex copy(m);
    ASSERT_EQ(pthread_mutex_trylock(&copy.mutex), 0);
    pthread_mutex_unlock(&copy.mutex);
    CMN_Mutex target;
    target = m;
    ASSERT_EQ(pthread_mutex_trylock(&target.mutex), 0) << "the locked state was not copied";
    pthread_mutex_unlock(&target.mutex);

    m.unlock();
    ASSERT_EQ(pthread_mutex_trylock(&m.mutex), 0);
    pthread_mutex_unlock(&m.mutex);
}
