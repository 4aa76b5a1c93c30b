// Work handed from worker threads to the UI thread: every piece runs there,
// whole and in the order each worker posted it, also when a piece runs the
// event loop itself; work still waiting when the mailbox goes is dropped
// without running. Under the race detector this also checks that what a
// worker built is handed over in an order it can see.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "studio/ui_mailbox.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& done) {
  return corvalind::testing::WaitFor(done, 20s, [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); });
}

TEST(UiMailboxTest, WorkersWorkRunsOnTheUiThreadWholeAndInOrder) {
  UiMailbox mailbox;
  constexpr int kWorkers = 3;
  constexpr int kPieces = 2000;
  std::vector<std::vector<std::string>> seen(kWorkers);  // UI thread only
  std::atomic<int> offThread{0};
  QThread* const ui = QThread::currentThread();
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < kPieces; ++i) {
        // A text made on the worker, read on the UI thread.
        auto text = std::make_unique<std::string>(std::to_string(w) + ":" + std::to_string(i));
        mailbox.Post([&, w, text = std::shared_ptr<std::string>(std::move(text))] {
          if (QThread::currentThread() != ui) ++offThread;
          seen[w].push_back(*text);
        });
      }
    });
  }
  // The UI thread takes the work while the workers are still posting.
  const bool all = WaitFor([&] {
    for (const auto& list : seen) {
      if (list.size() < kPieces) return false;
    }
    return true;
  });
  for (auto& worker : workers) worker.join();
  ASSERT_TRUE(all);
  EXPECT_EQ(offThread.load(), 0);
  for (int w = 0; w < kWorkers; ++w) {
    ASSERT_EQ(seen[w].size(), static_cast<std::size_t>(kPieces));
    for (int i = 0; i < kPieces; ++i) {
      ASSERT_EQ(seen[w][i], std::to_string(w) + ":" + std::to_string(i)) << "worker " << w << " piece " << i;
    }
  }
}

TEST(UiMailboxTest, PiecesAfterOneThatRunsTheEventLoopRunInsideItInOrder) {
  // As a modal box does: the first piece runs the event loop until the
  // pieces after it have run.
  UiMailbox mailbox;
  std::vector<int> order;
  mailbox.Post([&] {
    order.push_back(1);
    WaitFor([&] { return order.size() == 3; });
    order.push_back(4);
  });
  std::thread worker([&] {
    mailbox.Post([&] { order.push_back(2); });
    mailbox.Post([&] { order.push_back(3); });
  });
  worker.join();
  ASSERT_TRUE(WaitFor([&] { return order.size() == 4; }));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(UiMailboxTest, WorkStillWaitingWhenTheMailboxGoesIsDroppedUnrun) {
  bool ran = false;
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  {
    UiMailbox mailbox;
    std::thread worker([&, token = std::move(token)]() mutable {
      mailbox.Post([&ran, token = std::move(token)] { ran = true; });
    });
    worker.join();
  }
  EXPECT_TRUE(watch.expired());  // the work and what it held are gone
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}

TEST(UiMailboxTest, TheApplicationsMailboxMadeOnAWorkerDeliversOnTheUiThread) {
  UiMailbox* made = nullptr;
  std::thread worker([&] { made = ApplicationMailbox(); });
  worker.join();
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made, ApplicationMailbox());
  QThread* ranOn = nullptr;
  made->Post([&] { ranOn = QThread::currentThread(); });
  ASSERT_TRUE(WaitFor([&] { return ranOn != nullptr; }));
  EXPECT_EQ(ranOn, QThread::currentThread());
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
