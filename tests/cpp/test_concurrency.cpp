// Stress tests with real threads for the primitives that shared objects rely
// on: the per-object borrow counter, the publish-once slot and the stdout
// writer. Built and run under ThreadSanitizer as well, so the data guarded by
// a borrow is deliberately plain (non-atomic) memory: a missing acquire or
// release in the counter shows up as a reported race.
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <latch>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/stdout_writer.hpp"
#include "python/borrow_count.hpp"
#include "python/once_value.hpp"

namespace {

using aeso::py::BorrowCount;
using aeso::py::OnceValue;

constexpr int kThreads = 8;
// Bookkeeping atomics use relaxed order, so that the only happens-before
// edges between the threads are the ones the primitive under test makes.
constexpr auto kNoSync = std::memory_order_relaxed;

// ---------------------------------------------------------------- borrow counter

// An object as the module lays it out: plain fields guarded by the counter.
struct Guarded {
    std::array<double, 7> fields{};
    BorrowCount borrow;
};

// Readers check that every field holds the same value (a writer stores all
// fields of one generation); the writer checks nobody else is inside. Both
// track who is inside with atomics independent of the counter under test.
// Readers keep going until the writer has finished; the writer stops after a
// number of successful entries on both sides (or a bounded number of attempts). A writer
// refused many times in a row asks readers to hold back for a moment, so it
// cannot starve on a loaded machine.
TEST(BorrowCountStress, ReadersShareAndWritersExcludeEveryone) {
    Guarded obj;
    std::atomic<int> readers_inside{0};
    std::atomic<int> writers_inside{0};
    std::atomic<bool> violation{false};
    std::atomic<bool> torn_read{false};
    std::atomic<bool> writer_done{false};
    std::atomic<bool> writer_starving{false};
    std::atomic<long> shared_ok{0}, shared_refused{0};
    long exclusive_ok = 0;
    long exclusive_refused = 0;
    constexpr long kWrites = 2000;
    constexpr long kReads = 20000;
    constexpr long kMaxAttempts = 20'000'000;
    std::latch start(kThreads + 1);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            while (!writer_done.load(kNoSync)) {
                if (writer_starving.load(kNoSync)) {
                    std::this_thread::yield();
                    continue;
                }
                if (!obj.borrow.try_shared()) {
                    shared_refused.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                readers_inside.fetch_add(1, kNoSync);
                if (writers_inside.load(kNoSync) != 0) violation = true;
                const double first = obj.fields[0];
                for (double f : obj.fields) {
                    if (f != first) torn_read = true;
                }
                readers_inside.fetch_sub(1, kNoSync);
                obj.borrow.release_shared();
                shared_ok.fetch_add(1, std::memory_order_relaxed);
                std::this_thread::yield();
            }
        });
    }
    // One writer, as with a setter racing many simulation calls.
    threads.emplace_back([&] {
        start.arrive_and_wait();
        long refused_in_a_row = 0;
        for (long attempt = 0;
             attempt < kMaxAttempts && (exclusive_ok < kWrites || shared_ok.load(kNoSync) < kReads); ++attempt) {
            if (!obj.borrow.try_exclusive()) {
                ++exclusive_refused;
                if (++refused_in_a_row == 1000) writer_starving.store(true, kNoSync);
                continue;
            }
            refused_in_a_row = 0;
            writer_starving.store(false, kNoSync);
            writers_inside.fetch_add(1, kNoSync);
            if (readers_inside.load(kNoSync) != 0) violation = true;
            for (double& f : obj.fields) f = static_cast<double>(attempt + 1);
            writers_inside.fetch_sub(1, kNoSync);
            obj.borrow.release_exclusive();
            ++exclusive_ok;
            std::this_thread::yield();  // let readers in between two writes
        }
        writer_done.store(true, kNoSync);
    });
    for (auto& th : threads) th.join();

    EXPECT_FALSE(violation.load()) << "a reader and a writer held the object together";
    EXPECT_FALSE(torn_read.load()) << "a reader saw a half-written record";
    EXPECT_EQ(obj.borrow.load(), 0) << "a borrow was not released";
    EXPECT_GE(exclusive_ok, kWrites) << "the writer was refused " << exclusive_refused << " times";
    EXPECT_GE(shared_ok.load(), kReads) << "readers were refused " << shared_refused.load() << " times";
}

// Several writers competing: at most one at a time, and the plain counter they
// increment under the exclusive borrow loses no update.
TEST(BorrowCountStress, WritersNeverOverlap) {
    BorrowCount borrow;
    long plain_counter = 0;
    std::atomic<long> entered{0};
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < 20000; ++i) {
                if (!borrow.try_exclusive()) continue;
                if (inside.fetch_add(1, kNoSync) != 0) overlap = true;
                ++plain_counter;
                inside.fetch_sub(1, kNoSync);
                borrow.release_exclusive();
                entered.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(plain_counter, entered.load());
    EXPECT_EQ(borrow.load(), 0);
}

// All readers inside at once: the count is exactly the number of readers and
// every writer attempt in that window is refused.
TEST(BorrowCountStress, ConcurrentReadersAreCounted) {
    BorrowCount borrow;
    std::latch all_inside(kThreads + 1);
    std::latch may_leave(1);
    std::vector<std::thread> readers;
    std::atomic<int> refused{0};
    for (int t = 0; t < kThreads; ++t) {
        readers.emplace_back([&] {
            if (!borrow.try_shared()) {
                refused.fetch_add(1);
                all_inside.count_down();
                return;
            }
            all_inside.count_down();
            may_leave.wait();
            borrow.release_shared();
        });
    }
    all_inside.arrive_and_wait();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(borrow.load(), kThreads);
    EXPECT_FALSE(borrow.try_exclusive());
    EXPECT_EQ(borrow.load(), kThreads) << "a refused writer changed the count";
    may_leave.count_down();
    for (auto& th : readers) th.join();
    EXPECT_EQ(borrow.load(), 0);
    EXPECT_TRUE(borrow.try_exclusive());
    borrow.release_exclusive();
}

enum class Held { Shared, Exclusive };
enum class Attempt { Shared, Exclusive };

struct ConflictCase {
    Held held;
    Attempt attempt;
    bool expect_success;
};

class BorrowConflict : public ::testing::TestWithParam<ConflictCase> {};

// The main thread holds a borrow while another thread tries to take one.
// The attempt must return at once: joining the other thread while the borrow
// is still held would deadlock if it waited.
TEST_P(BorrowConflict, ResolvesWithoutWaiting) {
    const ConflictCase c = GetParam();
    BorrowCount borrow;
    ASSERT_TRUE(c.held == Held::Shared ? borrow.try_shared() : borrow.try_exclusive());
    const std::int64_t before = borrow.load();

    std::vector<std::thread> threads;
    std::atomic<int> successes{0}, failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                const bool ok = c.attempt == Attempt::Shared ? borrow.try_shared() : borrow.try_exclusive();
                (ok ? successes : failures).fetch_add(1);
                if (ok) borrow.release_shared();  // only shared attempts can succeed here
            }
        });
    }
    for (auto& th : threads) th.join();  // still holding the borrow

    if (c.expect_success) {
        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(successes.load(), kThreads * 1000);
    } else {
        EXPECT_EQ(successes.load(), 0);
        EXPECT_EQ(failures.load(), kThreads * 1000);
    }
    EXPECT_EQ(borrow.load(), before) << "attempts left the count changed";
    if (c.held == Held::Shared) {
        borrow.release_shared();
    } else {
        borrow.release_exclusive();
    }
    EXPECT_EQ(borrow.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(HeldAndAttempted, BorrowConflict,
                         ::testing::Values(ConflictCase{Held::Shared, Attempt::Shared, true},
                                           ConflictCase{Held::Shared, Attempt::Exclusive, false},
                                           ConflictCase{Held::Exclusive, Attempt::Shared, false},
                                           ConflictCase{Held::Exclusive, Attempt::Exclusive, false}),
                         [](const ::testing::TestParamInfo<ConflictCase>& info) {
                             const ConflictCase& c = info.param;
                             return std::string(c.held == Held::Shared ? "SharedHeld" : "ExclusiveHeld") +
                                    (c.attempt == Attempt::Shared ? "_SharedAttempt" : "_ExclusiveAttempt");
                         });

// ---------------------------------------------------------------- publish-once slot

// A candidate value that records whether it was published or released; the
// slot's Release hook counts and frees losers.
struct Candidate {
    int maker;
    std::atomic<int> releases{0};
};

std::atomic<int> g_released{0};

void release_candidate(Candidate* c) noexcept {
    c->releases.fetch_add(1);
    g_released.fetch_add(1);
}

TEST(OnceValueStress, EveryThreadSeesTheWinnerAndLosersAreReleasedOnce) {
    constexpr int kRoundsOfRaces = 300;
    for (int round = 0; round < kRoundsOfRaces; ++round) {
        OnceValue<Candidate, release_candidate> slot;
        g_released = 0;
        std::array<Candidate, kThreads> candidates;
        std::array<Candidate*, kThreads> seen{};
        std::array<bool, kThreads> made{};
        std::latch start(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                candidates[static_cast<std::size_t>(t)].maker = t;
                start.arrive_and_wait();
                seen[static_cast<std::size_t>(t)] = slot.get_or_create([&] {
                    made[static_cast<std::size_t>(t)] = true;
                    return &candidates[static_cast<std::size_t>(t)];
                });
            });
        }
        for (auto& th : threads) th.join();

        Candidate* winner = slot.get();
        ASSERT_NE(winner, nullptr);
        int makers = 0;
        for (int t = 0; t < kThreads; ++t) {
            const auto i = static_cast<std::size_t>(t);
            ASSERT_EQ(seen[i], winner) << "thread " << t << " saw another value, round " << round;
            if (made[i]) ++makers;
            // The winner is never released; every other candidate that was
            // built is released exactly once; one never built, never.
            const int expected = (&candidates[i] == winner || !made[i]) ? 0 : 1;
            ASSERT_EQ(candidates[i].releases.load(), expected) << "candidate " << t << ", round " << round;
        }
        ASSERT_TRUE(made[static_cast<std::size_t>(winner->maker)]);
        ASSERT_EQ(g_released.load(), makers - 1);
    }
}

// The winner's value is fully visible to a thread that only read the slot:
// the fields written before publishing are plain memory.
struct Table {
    std::array<long, 64> entries;
};

void delete_table(Table* t) noexcept { delete t; }

TEST(OnceValueStress, PublishedContentsAreVisibleToReaders) {
    for (int round = 0; round < 200; ++round) {
        OnceValue<Table, delete_table> slot;
        std::latch start(kThreads);
        std::atomic<bool> wrong{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                Table* table = slot.get_or_create([t] {
                    auto* fresh = new Table;
                    for (std::size_t i = 0; i < fresh->entries.size(); ++i) {
                        fresh->entries[i] = static_cast<long>(t) * 1000 + static_cast<long>(i);
                    }
                    return fresh;
                });
                const long base = table->entries[0];
                for (std::size_t i = 0; i < table->entries.size(); ++i) {
                    if (table->entries[i] != base + static_cast<long>(i)) wrong = true;
                }
            });
        }
        for (auto& th : threads) th.join();
        ASSERT_FALSE(wrong.load()) << "round " << round;
        delete slot.get();
    }
}

// A failed creation leaves the slot empty and is retried by a later caller.
TEST(OnceValueStress, FailedCreationIsRetried) {
    OnceValue<Candidate, release_candidate> slot;
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    std::atomic<int> null_results{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            if (slot.get_or_create([]() -> Candidate* { return nullptr; }) == nullptr) null_results.fetch_add(1);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(null_results.load(), kThreads);
    EXPECT_EQ(slot.get(), nullptr);

    Candidate c;
    EXPECT_EQ(slot.get_or_create([&] { return &c; }), &c);
    Candidate other;
    EXPECT_EQ(slot.get_or_create([&] { return &other; }), &c);
    EXPECT_EQ(slot.publish(&other), &c);
    EXPECT_EQ(other.releases.load(), 1);
    EXPECT_EQ(c.releases.load(), 0);
}

// ---------------------------------------------------------------- stdout writer

// Pieces written by the stress tests: "<thread>:<seq>:" then a payload of one
// letter repeated, then a newline. Lengths vary from a few bytes to several
// times the pipe's atomic-write size, so the kernel alone would interleave
// the long ones.
std::string make_piece(int thread, int seq) {
    static constexpr std::array<std::size_t, 6> kLengths{1, 60, 700, 4095, 5000, 70000};
    const std::size_t len = kLengths[static_cast<std::size_t>(seq) % kLengths.size()] +
                            static_cast<std::size_t>(thread);
    std::string piece = std::to_string(thread) + ":" + std::to_string(seq) + ":";
    piece.append(len, static_cast<char>('a' + (thread + seq) % 26));
    piece += '\n';
    return piece;
}

// Checks that `out` is exactly the pieces of every thread, each whole, and
// that each thread's pieces appear in the order it wrote them.
void expect_whole_pieces(const std::string& out, int threads, int per_thread) {
    std::map<int, int> next_seq;
    std::size_t pos = 0;
    int count = 0;
    while (pos < out.size()) {
        const std::size_t nl = out.find('\n', pos);
        ASSERT_NE(nl, std::string::npos) << "output ends inside a piece";
        const std::string_view line(out.data() + pos, nl - pos);
        const std::size_t c1 = line.find(':');
        const std::size_t c2 = line.find(':', c1 + 1);
        ASSERT_TRUE(c1 != std::string_view::npos && c2 != std::string_view::npos)
            << "malformed piece at byte " << pos;
        const int thread = std::stoi(std::string(line.substr(0, c1)));
        const int seq = std::stoi(std::string(line.substr(c1 + 1, c2 - c1 - 1)));
        ASSERT_EQ(std::string(line) + "\n", make_piece(thread, seq)) << "piece split or mixed at byte " << pos;
        ASSERT_EQ(seq, next_seq[thread]) << "thread " << thread << " pieces out of order";
        next_seq[thread] = seq + 1;
        ++count;
        pos = nl + 1;
    }
    EXPECT_EQ(count, threads * per_thread);
    for (int t = 0; t < threads; ++t) EXPECT_EQ(next_seq[t], per_thread) << "thread " << t;
}

void write_pieces_from_threads(int fd, int threads, int per_thread, std::atomic<int>& failures) {
    std::latch start(threads);
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int s = 0; s < per_thread; ++s) {
                if (aeso::write_piece(fd, make_piece(t, s)) != 0) failures.fetch_add(1);
            }
        });
    }
    for (auto& w : writers) w.join();
}

std::string drain(int fd) {
    std::string out;
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return out;
}

TEST(StdoutWriterStress, PiecesToAPipeNeverInterleave) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string received;
    std::thread reader([&] { received = drain(fds[0]); });
    std::atomic<int> failures{0};
    write_pieces_from_threads(fds[1], kThreads, 60, failures);
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(failures.load(), 0);
    expect_whole_pieces(received, kThreads, 60);
}

TEST(StdoutWriterStress, PiecesToAFileNeverInterleave) {
    char path[] = "/tmp/aeso_writer_XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::unlink(path);
    std::atomic<int> failures{0};
    write_pieces_from_threads(fd, kThreads, 60, failures);
    ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    const std::string contents = drain(fd);
    ::close(fd);
    EXPECT_EQ(failures.load(), 0);
    expect_whole_pieces(contents, kThreads, 60);
}

// Signals delivered to a writer blocked on a full pipe interrupt write():
// either before any byte (EINTR) or after some (a short count). Both must be
// continued so the piece still arrives whole.
void on_signal(int) {}

TEST(StdoutWriterStress, InterruptedWritesAreContinued) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: write() returns early
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string big;
    for (int i = 0; big.size() < (4u << 20); ++i) big += make_piece(0, i % 6);

    std::atomic<bool> done{false};
    int result = -1;
    std::thread writer([&] {
        result = aeso::write_piece(fds[1], big);
        done = true;
        ::close(fds[1]);  // the reader sees the end whether or not the write worked
    });
    const pthread_t writer_handle = writer.native_handle();
    std::string received;
    char buf[4096];
    // Read slowly and keep interrupting the writer while it waits for room.
    while (true) {
        if (!done.load()) ::pthread_kill(writer_handle, SIGUSR1);
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) received.append(buf, static_cast<std::size_t>(n));
        if (n == 0) break;
    }
    writer.join();
    ::close(fds[0]);
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(received.size(), big.size());
    EXPECT_TRUE(received == big) << "bytes lost or repeated after an interrupted write";
}

// A reader that goes away makes every writer fail with EPIPE; none hangs and
// the lock is never left held (a later write to a good descriptor works).
TEST(StdoutWriterStress, ClosedReaderFailsEveryWriter) {
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    std::atomic<int> epipe{0}, other{0};
    std::latch start(kThreads);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int s = 0; s < 50; ++s) {
                const int err = aeso::write_piece(fds[1], make_piece(t, s));
                (err == EPIPE ? epipe : other).fetch_add(1);
            }
        });
    }
    for (auto& w : writers) w.join();
    ::close(fds[1]);
    EXPECT_EQ(epipe.load(), kThreads * 50);
    EXPECT_EQ(other.load(), 0);

    int good[2];
    ASSERT_EQ(::pipe(good), 0);
    EXPECT_EQ(aeso::write_piece(good[1], "after\n"), 0);
    ::close(good[1]);
    EXPECT_EQ(drain(good[0]), "after\n");
    ::close(good[0]);
}

}  // namespace
