#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "Lib/Kit/AppThread.h"
#include "Lib/Kit/tests/RecordingRoute.h"

namespace logrum::kit {
namespace {

using testing::RecordingRoute;

ThreadFlavor WithRoute(const ThreadFlavor& base, const RecordingRoute& route) {
  ThreadFlavor flavor = base;
  flavor.route = &route;
  return flavor;
}

// A worker whose body loops until told to stop, counting its runs; it reports
// on events when it has started and when its body has ended.
class Worker : public ThreadBase {
 public:
  Worker(const ThreadFlavor& flavor, const char* name, bool self_delete = false,
         std::atomic<int>* destroyed = nullptr)
      : ThreadBase(flavor, name, 4096, 0, self_delete), destroyed_(destroyed) {}
  ~Worker() override {
    SetExit(-1);
    if (destroyed_ != nullptr) destroyed_->fetch_add(1);
  }

  void Body() override {
    bodies.fetch_add(1);
    started.Set();
    if (end_at_once.load()) return;
    while (IsRunning()) release.Wait(kInfinite);
  }
  void OnExit() override {
    ThreadBase::OnExit();
    exits.fetch_add(1);
  }
  void Stop(int32_t code) {
    // The body passes its wait until it reads the cleared flag.
    release.Set();
    SetExit(code);
    release.Reset();
  }
  void ToggleSelfDelete() { set_self_delete(!self_delete()); }

  std::atomic<int> bodies{0};
  std::atomic<int> exits{0};
  std::atomic<bool> end_at_once{false};
  EventObject started{false, false};
  EventObject release{true, false};

 private:
  std::atomic<int>* destroyed_;
};

TEST(KitAppThreadTest, RunThenSetExitRunsBodyAndOnExitOnceAndStoresExitCode) {
  RecordingRoute route;
  const ThreadFlavor flavor = WithRoute(ArchiveThreadFlavor(), route);
  Worker worker(flavor, "Recorder");
  worker.Run();
  ASSERT_TRUE(worker.started.Wait(kInfinite));
  EXPECT_TRUE(worker.IsRunning());
  EXPECT_TRUE(worker.HasThread());

  worker.Stop(7);
  EXPECT_FALSE(worker.IsRunning());
  EXPECT_FALSE(worker.HasThread());
  EXPECT_EQ(worker.exit_code(), 7);
  EXPECT_EQ(worker.bodies.load(), 1);
  EXPECT_EQ(worker.exits.load(), 1);  // SetExit returned only after OnExit ran

  EXPECT_EQ(route.Count("AppThread::~AppThread! Recorder\n"), 1);
  EXPECT_EQ(route.Count("AppThread::OnExit() Recorder\n"), 1);
  EXPECT_EQ(route.CountPrefix("/-/-/-/-Enter thread 0x"), 1);
  EXPECT_EQ(route.CountPrefix("/-/-/-/-Exit thread 0x"), 1);
  EXPECT_EQ(route.CountPrefix("/-/-/-/-Set QuitEvent thread 0x"), 1);
}

TEST(KitAppThreadTest, RunWhileRunningStartsNoSecondThread) {
  RecordingRoute route;
  const ThreadFlavor flavor = WithRoute(ArchiveThreadFlavor(), route);
  Worker worker(flavor, "Twice");
  worker.Run();
  ASSERT_TRUE(worker.started.Wait(kInfinite));
  worker.Run();
  worker.Stop(0);
  EXPECT_EQ(worker.bodies.load(), 1);
  EXPECT_EQ(route.Count("AppThread::Run(): Already running! Call SetExit() first!\n"), 1);
  EXPECT_EQ(route.Count("Assert failed!\n"), 0);
}

TEST(KitAppThreadTest, RunsAgainAfterSetExit) {
  RecordingRoute route;
  const ThreadFlavor flavor = WithRoute(ArchiveThreadFlavor(), route);
  Worker worker(flavor, "Again");
  for (int round = 1; round <= 3; ++round) {
    worker.Run();
    ASSERT_TRUE(worker.started.Wait(kInfinite));
    worker.Stop(round);
    EXPECT_EQ(worker.exit_code(), round);
  }
  EXPECT_EQ(worker.bodies.load(), 3);
  EXPECT_EQ(worker.exits.load(), 3);
}

TEST(KitAppThreadTest, SetExitOnIdleObjectReturnsAtOnceAndKeepsExitCode) {
  RecordingRoute route;
  const ThreadFlavor flavor = WithRoute(ArchiveThreadFlavor(), route);
  Worker worker(flavor, "Idle");
  worker.SetExit(42);
  EXPECT_EQ(worker.exit_code(), 42);
  EXPECT_EQ(route.Count("AppThread::~AppThread! Idle\n"), 0);
}

TEST(KitAppThreadTest, BodyThatEndsByItselfLeavesObjectReadyToRunAgain) {
  RecordingRoute route;
  const ThreadFlavor flavor = WithRoute(ArchiveThreadFlavor(), route);
  Worker worker(flavor, "Short");
  worker.end_at_once = true;
  worker.Run();
  ASSERT_TRUE(worker.started.Wait(kInfinite));
  // Wait for the procedure to finish (its quit signal), then run again.
  while (worker.IsRunning()) std::this_thread::yield();
  worker.SetExit(3);
  EXPECT_FALSE(worker.HasThread());
  worker.Run();
  ASSERT_TRUE(worker.started.Wait(kInfinite));
  worker.SetExit(4);
  EXPECT_EQ(worker.bodies.load(), 2);
  EXPECT_EQ(worker.exit_code(), 4);
}

TEST(KitAppThreadTest, DestructorStopsARunningThreadWithMinusOne) {
  RecordingRoute route;
  const ThreadFlavor flavor = WithRoute(ArchiveThreadFlavor(), route);
  {
    Worker worker(flavor, "Dtor");
    worker.Run();
    ASSERT_TRUE(worker.started.Wait(kInfinite));
    worker.release.Set();  // lets the body see the cleared flag without a waker
  }
  // Destructor text once from ~Worker's SetExit and once from ~ThreadBase.
  EXPECT_GE(route.Count("AppThread::~AppThread! Dtor\n"), 1);
  EXPECT_EQ(route.CountPrefix("/-/-/-/-Set QuitEvent thread"), 1);
}

TEST(KitAppThreadTest, SelfDeletingThreadDeletesItselfWithoutSignallingQuit) {
  // Static: the base destructor still traces on the ending thread after the
  // test has seen the object go.
  static RecordingRoute route;
  static const ThreadFlavor flavor = WithRoute(ArchiveThreadFlavor(), route);
  static std::atomic<int> destroyed{0};
  const int destroyed_before = destroyed.load();
  const int quits_before = route.CountPrefix("/-/-/-/-Set QuitEvent");
  const int self_deletes_before = route.CountPrefix("/-/-/-/-Self-Delete thread 0x");
  auto* worker = new Worker(flavor, "Selfish", /*self_delete=*/true, &destroyed);
  worker->end_at_once = true;
  worker->Run();
  // Nothing of the object may be touched from here on.
  while (destroyed.load() == destroyed_before) std::this_thread::yield();
  EXPECT_EQ(route.CountPrefix("/-/-/-/-Self-Delete thread 0x"), self_deletes_before + 1);
  EXPECT_EQ(route.CountPrefix("/-/-/-/-Set QuitEvent"), quits_before);
  EXPECT_EQ(destroyed.load(), destroyed_before + 1);
}

TEST(KitAppThreadTest, ArchiveNamesAreCutAt31AndNullGivesDefault) {
  RecordingRoute route;
  const ThreadFlavor flavor = WithRoute(ArchiveThreadFlavor(), route);
  const std::string forty(40, 'n');
  Worker long_name(flavor, forty.c_str());
  EXPECT_EQ(std::string(long_name.name()), forty.substr(0, 31));
  Worker no_name(flavor, nullptr);
  EXPECT_STREQ(no_name.name(), "AppThread");
}

TEST(KitAppThreadTest, CaptureFlavorKeepsFullNameAndNullName) {
  RecordingRoute route;
  const ThreadFlavor flavor = WithRoute(CaptureThreadFlavor(), route);
  const std::string forty(40, 'c');
  Worker long_name(flavor, forty.c_str());
  EXPECT_EQ(std::string(long_name.name()), forty);
  Worker no_name(flavor, nullptr);
  EXPECT_EQ(no_name.name(), nullptr);
}

TEST(KitAppThreadTest, CaptureFlavorWritesItsTextsAndAssertsOnRunWhileRunning) {
  RecordingRoute route;
  const ThreadFlavor flavor = WithRoute(CaptureThreadFlavor(), route);
  {
    Worker worker(flavor, "CAudioSourceThread");
    worker.Run();
    ASSERT_TRUE(worker.started.Wait(kInfinite));
    worker.Run();
    worker.Stop(0);
  }
  EXPECT_EQ(route.Count("CAppThread::Run(): Already running! Call SetExit() first!\n"), 1);
  EXPECT_EQ(route.Count("Assert failed!\n"), 1);
  EXPECT_EQ(route.Count("CAppThread::OnExit() CAudioSourceThread\n"), 1);
  EXPECT_GE(route.Count("CAppThread::~CAppThread! CAudioSourceThread\n"), 2);
  EXPECT_TRUE(route.AllOfUnit(TraceUnit::kThread));
}

// A capture thread destroyed while running: the destructor reports it.
class BareCaptureWorker : public ThreadBase {
 public:
  explicit BareCaptureWorker(const ThreadFlavor& flavor)
      : ThreadBase(flavor, "bare", 0, 0, false) {}
  void Body() override {
    started.Set();
    while (IsRunning()) std::this_thread::yield();
  }
  EventObject started{true, false};
};

TEST(KitAppThreadTest, CaptureDestructorAssertsWhenThreadStillRuns) {
  RecordingRoute route;
  const ThreadFlavor flavor = WithRoute(CaptureThreadFlavor(), route);
  {
    BareCaptureWorker worker(flavor);
    worker.Run();
    ASSERT_TRUE(worker.started.Wait(kInfinite));
    // The body only polls its flag and touches no member of the derived class,
    // so stopping from the base destructor is safe here.
  }
  EXPECT_EQ(route.Count("Assert failed!\n"), 1);
}

TEST(KitAppThreadTest, CaptureThreadAssertsWhenSelfDeleteFlagChangesDuringBody) {
  RecordingRoute route;
  const ThreadFlavor flavor = WithRoute(CaptureThreadFlavor(), route);
  Worker worker(flavor, "Flip");
  worker.Run();
  ASSERT_TRUE(worker.started.Wait(kInfinite));
  worker.ToggleSelfDelete();  // on
  worker.ToggleSelfDelete();  // off again: unchanged, no report
  worker.Stop(0);
  EXPECT_EQ(route.Count("Assert failed!\n"), 0);
}

TEST(KitAppThreadTest, SetExitFromOwnBodyDoesNotDeadlock) {
  RecordingRoute route;
  const ThreadFlavor flavor = WithRoute(ArchiveThreadFlavor(), route);
  class Quitter : public ThreadBase {
   public:
    explicit Quitter(const ThreadFlavor& f) : ThreadBase(f, "quitter", 0, 0, false) {}
    ~Quitter() override { SetExit(-1); }
    void Body() override { SetExit(5); }
  } quitter(flavor);
  quitter.Run();
  while (route.CountPrefix("/-/-/-/-Set QuitEvent") == 0) std::this_thread::yield();
  quitter.SetExit(5);
  EXPECT_EQ(quitter.exit_code(), 5);
  EXPECT_FALSE(quitter.HasThread());
}

TEST(KitAppThreadTest, RealRoutesAreUsable) {
  // The production flavors write through the real routes without failing.
  class Quick : public AppThread {
   public:
    Quick() : AppThread("Quick", 0, 0, false) {}
    ~Quick() override { SetExit(0); }
    void Body() override {}
  } quick;
  quick.Run();
  quick.SetExit(1);
  EXPECT_EQ(quick.exit_code(), 1);
  class CQuick : public CAppThread {
   public:
    CQuick() : CAppThread(nullptr, 0, 0, false) {}
    ~CQuick() override { SetExit(0); }
    void Body() override {}
  } cquick;
  cquick.Run();
  cquick.SetExit(2);
  EXPECT_EQ(cquick.exit_code(), 2);
}

}  // namespace
}  // namespace logrum::kit
