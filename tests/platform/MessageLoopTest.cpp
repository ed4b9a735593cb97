#include <gtest/gtest.h>
#include <poll.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/MessageLoop.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

class RecordingTarget : public CMsgTarget {
 public:
  std::vector<MSG> pretranslated;
  std::vector<MSG> handled;
  std::vector<UINT_PTR> timers;
  UINT consume = 0;  // message id PreTranslateMessage swallows

  bool PreTranslateMessage(MSG& msg) override {
    pretranslated.push_back(msg);
    return msg.message == consume;
  }
  void OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
    handled.push_back(MSG{GetSafeHwnd(), message, wParam, lParam});
  }
  void OnTimer(UINT_PTR id) override { timers.push_back(id); }
};

class MessageLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { CMessageLoop::Get().RunUntilIdle(); }
  CMessageLoop& loop = CMessageLoop::Get();
};

TEST_F(MessageLoopTest, PostedMessagesPassPreTranslateThenHandlerInOrder) {
  RecordingTarget target;
  target.CreateTarget();
  target.consume = WM_USER + 2;
  ASSERT_TRUE(PostMessage(target.GetSafeHwnd(), WM_USER + 1, 7, -3));
  ASSERT_TRUE(PostMessage(target.GetSafeHwnd(), WM_USER + 2, 0, 0));
  ASSERT_TRUE(PostMessage(target.GetSafeHwnd(), WM_USER + 3, 0, 0));
  EXPECT_EQ(loop.RunUntilIdle(), 3);
  ASSERT_EQ(target.pretranslated.size(), 3u);
  ASSERT_EQ(target.handled.size(), 2u);
  EXPECT_EQ(target.handled[0].message, WM_USER + 1);
  EXPECT_EQ(target.handled[0].wParam, 7u);
  EXPECT_EQ(target.handled[0].lParam, -3);
  EXPECT_EQ(target.handled[1].message, WM_USER + 3);
}

// A worker's task runs on the UI thread in turn with the window's messages;
// one for a window that has gone is dropped unrun, and what it holds goes.
TEST_F(MessageLoopTest, TasksRunInTurnWithMessagesAndGoWithTheirWindow) {
  RecordingTarget target;
  target.CreateTarget();
  std::vector<std::string> order;
  std::thread::id ranOn;
  std::thread worker([&] {
    PostMessage(target.GetSafeHwnd(), WM_USER + 1, 0, 0);
    PostTask(target.GetSafeHwnd(), [&] {
      ranOn = std::this_thread::get_id();
      order.push_back("task, after " + std::to_string(target.handled.size()) + " message");
    });
    PostMessage(target.GetSafeHwnd(), WM_USER + 2, 0, 0);
  });
  worker.join();
  EXPECT_EQ(loop.RunUntilIdle(), 3);
  EXPECT_EQ(order, std::vector<std::string>{"task, after 1 message"});
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(target.handled.size(), 2u);
  EXPECT_EQ(target.pretranslated.size(), 2u);  // a task is no message

  auto held = std::make_shared<int>(1);
  {
    RecordingTarget gone;
    gone.CreateTarget();
    ASSERT_TRUE(PostTask(gone.GetSafeHwnd(), [held] { *held = 2; }));
    EXPECT_EQ(held.use_count(), 2);
  }
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_EQ(loop.RunUntilIdle(), 0);
  EXPECT_EQ(*held, 1);
  EXPECT_FALSE(PostTask(0, [] {}));
}

TEST_F(MessageLoopTest, PostingToAMissingOrDestroyedWindowFailsAndDropsQueued) {
  EXPECT_FALSE(PostMessage(0, WM_USER, 0, 0));
  RecordingTarget other;
  {
    RecordingTarget target;
    target.CreateTarget();
    other.CreateTarget();
    ASSERT_TRUE(PostMessage(target.GetSafeHwnd(), WM_USER, 0, 0));
    ASSERT_TRUE(SetTimer(target.GetSafeHwnd(), 1, 10));
    HWND gone = target.GetSafeHwnd();
    target.DestroyTarget();
    EXPECT_FALSE(PostMessage(gone, WM_USER, 0, 0));
  }
  ASSERT_TRUE(PostMessage(other.GetSafeHwnd(), WM_USER, 0, 0));
  EXPECT_EQ(loop.RunUntilIdle(), 1);
  EXPECT_FALSE(loop.AdvanceToNextTimer());
}

TEST_F(MessageLoopTest, PostsFromManyThreadsAllArriveAndWakeTheFd) {
  RecordingTarget target;
  target.CreateTarget();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 250; ++i) PostMessage(target.GetSafeHwnd(), WM_USER, static_cast<WPARAM>(t), i);
    });
  for (auto& th : threads) th.join();
  pollfd pfd{loop.WakeFd(), POLLIN, 0};
  ASSERT_EQ(::poll(&pfd, 1, 0), 1);
  EXPECT_EQ(loop.RunUntilIdle(), 1000);
  EXPECT_EQ(target.handled.size(), 1000u);
  // Per thread, messages keep their order.
  std::vector<LPARAM> last(4, -1);
  for (const auto& m : target.handled) {
    EXPECT_GT(m.lParam, last[m.wParam]);
    last[m.wParam] = m.lParam;
  }
  EXPECT_EQ(::poll(&pfd, 1, 0), 0);
}

TEST_F(MessageLoopTest, TimersFireWhenDueRepeatAndStopWhenKilled) {
  RecordingTarget target;
  target.CreateTarget();
  SetTimer(target.GetSafeHwnd(), 100005, 100);
  SetTimer(target.GetSafeHwnd(), 2, 1000);
  loop.AdvanceTime(50ms);
  EXPECT_TRUE(target.timers.empty());
  loop.AdvanceTime(60ms);
  ASSERT_EQ(target.timers.size(), 1u);
  EXPECT_EQ(target.timers[0], 100005u);
  // The WM_TIMER goes through PreTranslateMessage as well.
  ASSERT_FALSE(target.pretranslated.empty());
  EXPECT_EQ(target.pretranslated.back().message, WM_TIMER);
  loop.AdvanceTime(100ms);
  EXPECT_EQ(target.timers.size(), 2u);
  EXPECT_TRUE(KillTimer(target.GetSafeHwnd(), 100005));
  EXPECT_FALSE(KillTimer(target.GetSafeHwnd(), 100005));
  ASSERT_TRUE(loop.AdvanceToNextTimer());
  ASSERT_FALSE(target.timers.empty());
  EXPECT_EQ(target.timers.back(), 2u);
  KillTimer(target.GetSafeHwnd(), 2);
  EXPECT_FALSE(loop.MillisecondsToNextTimer().has_value());
}

// A debug build stops at the call; a release build lets the timer be set.
TEST_F(MessageLoopTest, TimersAndWindowsMadeOffTheUiThreadStopADebugBuild) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  RecordingTarget target;
  target.CreateTarget();
  EXPECT_DEBUG_DEATH(std::thread([&] { SetTimer(target.GetSafeHwnd(), 7, 10); }).join(), "off the UI thread");
  EXPECT_DEBUG_DEATH(std::thread([&] { KillTimer(target.GetSafeHwnd(), 7); }).join(), "off the UI thread");
  EXPECT_DEBUG_DEATH(std::thread([] { RecordingTarget().CreateTarget(); }).join(), "off the UI thread");
}

TEST_F(MessageLoopTest, RunReturnsOnQuitFromAnotherThreadAfterHandlingPosts) {
  RecordingTarget target;
  target.CreateTarget();
  std::thread poster([&] {
    PostMessage(target.GetSafeHwnd(), WM_USER + 9, 0, 0);
    std::this_thread::sleep_for(20ms);
    loop.Quit();
  });
  loop.Run();
  poster.join();
  loop.RunUntilIdle();
  ASSERT_FALSE(target.handled.empty());
  EXPECT_EQ(target.handled[0].message, WM_USER + 9);
}

}  // namespace
