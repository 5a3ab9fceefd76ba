#include "Lib/Diagnostics/Trace.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "Lib/Diagnostics/TraceProvider.h"
#include "Lib/Platform/DebugOutput.h"
#include "Lib/Platform/DynamicLibrary.h"

namespace logrum::diag {

void DebugTraceV(const char* format, va_list args) {
  if (!platform::DebugOutputEnabled()) return;
  char buffer[1056];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  platform::DebugOutput(buffer);
}

void DebugTrace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  DebugTraceV(format, args);
  va_end(args);
}

namespace {

constinit const volatile uint8_t kSilentByte = 0;

// Used when no provider is there: channels stay off, failed checks are asked
// about and then go nowhere.
class SilentProvider final : public TraceProvider {
 public:
  constexpr SilentProvider() = default;
  const volatile uint8_t* RegisterChannel(uint32_t) override { return &kSilentByte; }
  bool IsLineEnabled(uint32_t, int) override { return true; }
  void Print(const char*, ...) override {}
};

// Trivially destructible, so it is still there for trace lines written while
// the library's other static objects are destroyed.
constinit SilentProvider g_silent;

}  // namespace

// The provider binding of this library (each library that links this file has
// its own). It lives from the first channel registration until the library is
// unloaded or the process ends.
class TraceBinding {
 public:
  static TraceBinding& Get() {
    static TraceBinding binding;
    return binding;
  }

  void Register(TraceChannel* channel) {
    std::lock_guard lock(mutex_);
    if (!attempted_) Load();
    TraceProvider* provider = provider_ != nullptr ? provider_ : &g_silent;
    const volatile uint8_t* enabled = provider->RegisterChannel(channel->id_);
    if (enabled == nullptr) {
      provider = &g_silent;
      enabled = &kSilentByte;
    }
    channel->enabled_.store(enabled, std::memory_order_release);
    channel->provider_.store(provider, std::memory_order_release);
    channel->next_ = channels_;
    channels_ = channel;
  }

  static void Unregister(TraceChannel* channel) {
    if (!alive_) return;
    TraceBinding& binding = Get();
    std::lock_guard lock(binding.mutex_);
    for (TraceChannel** link = &binding.channels_; *link != nullptr; link = &(*link)->next_) {
      if (*link == channel) {
        *link = channel->next_;
        break;
      }
    }
  }

  ~TraceBinding() {
    std::lock_guard lock(mutex_);
    // Channels may outlive the provider (lines written by later destructors):
    // they fall silent before the provider's bytes go away.
    for (TraceChannel* channel = channels_; channel != nullptr; channel = channel->next_) {
      channel->provider_.store(&g_silent, std::memory_order_release);
      channel->enabled_.store(&kSilentByte, std::memory_order_release);
    }
    channels_ = nullptr;
    if (provider_ != nullptr) {
      if (auto exit = library_.OptionalFunction<TraceProviderExit>(kTraceProviderExit)) exit();
      provider_ = nullptr;
    }
    library_.Close();
    alive_ = false;
  }

 private:
  TraceBinding() { alive_ = true; }

  void Load() {
    attempted_ = true;
    if (platform::Status status = library_.OpenBeside(&g_silent, kTraceProviderFile);
        !status.ok()) {
      DebugTrace("Trace provider not loaded: %s\n", status.message().c_str());
      return;
    }
    TraceProviderEntry entry = nullptr;
    const platform::Status found = library_.Function(kTraceProviderEntry, &entry);
    provider_ = entry != nullptr ? entry() : nullptr;
    if (provider_ == nullptr) {
      DebugTrace("Trace provider %s unusable: %s\n", library_.path().c_str(),
                 entry == nullptr ? found.message().c_str() : "no provider");
      library_.Close();
    }
  }

  static inline bool alive_ = false;

  std::mutex mutex_;
  bool attempted_ = false;
  platform::DynamicLibrary library_;
  TraceProvider* provider_ = nullptr;
  TraceChannel* channels_ = nullptr;
};

TraceChannel::TraceChannel(uint16_t module, uint16_t unit)
    : id_(static_cast<uint32_t>(module) << 16 | unit),
      enabled_(&kSilentByte),
      provider_(&g_silent) {
  TraceBinding::Get().Register(this);
}

TraceChannel::~TraceChannel() { TraceBinding::Unregister(this); }

bool TraceChannel::IsLineEnabled(int source_line) const {
  if (*enabled_.load(std::memory_order_acquire) == 0) return false;
  return provider_.load(std::memory_order_acquire)->IsLineEnabled(id_, source_line);
}

void TraceChannel::Print(int source_line, const char* format, ...) const {
  if (!IsLineEnabled(source_line)) return;
  // The provider's Print takes its arguments as "...", so the line is formatted here.
  char buffer[1056];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length < 0) return;
  TraceProvider* provider = provider_.load(std::memory_order_acquire);
  if (static_cast<size_t>(length) < sizeof buffer) {
    provider->Print("%s", buffer);
    return;
  }
  std::string line(static_cast<size_t>(length) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(line.data(), line.size(), format, args);
  va_end(args);
  provider->Print("%s", line.c_str());
}

void TraceChannel::AssertFailed(int source_line) const {
  TraceProvider* provider = provider_.load(std::memory_order_acquire);
  if (provider->IsLineEnabled(id_, source_line)) provider->Print("Assert failed!\n");
}

}  // namespace logrum::diag
