#include "Lib/Gpio/CardManager.h"

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "Lib/Gpio/MessageRoute.h"
#include "Lib/Platform/StateFolder.h"
#include "Lib/Platform/WaveIn.h"

namespace logrum::gpio {
namespace {

constexpr int kOpenAttempts = 5;
constexpr auto kOpenRetryWait = std::chrono::milliseconds(250);
constexpr size_t kPrefixLength = sizeof(CardManager::kCardPrefix) - 1;

std::string Fold(const std::string& name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace

CardManagerOptions DefaultCardManagerOptions() {
  CardManagerOptions options;
  const char* root = std::getenv("LOGRUM2_GPIO_SYSFS");
  if (root != nullptr && root[0] != '\0') options.sysfs_root = root;
  options.driver = gpiocard::ReadDriverParameters();
  return options;
}

CardManager::CardManager(CardManagerOptions options)
    : kit::AppThread("NorvaneCardManager", 5000, 0, false), options_(std::move(options)) {
  clock_ = options_.clock != nullptr ? options_.clock : &platform::DefaultClock();
  if (!options_.device_count) options_.device_count = [] { return platform::WaveInDeviceCount(); };
  if (!options_.device_name) {
    options_.device_name = [](int device, std::string* name) {
      return platform::WaveInDeviceName(static_cast<uint32_t>(device), name) ==
             platform::kWaveInOk;
    };
  }
  if (options_.log_path.empty()) {
    options_.log_path = platform::StateFolderPath() + "/NorvaneCardManager.log";
  }
}

CardManager::~CardManager() {
  Log("~NorvaneCardManager\n");
  StopPolling();
  for (auto& card : cards_) {
    if (card->handle != 0) CloseCard(card.get());
  }
  gpiocard::CardService::Stop();
  kit::MutexLock lock(log_mu_);
  if (log_ != nullptr) std::fclose(log_);
  log_ = nullptr;
}

void CardManager::Log(const char* format, ...) {
  char text[768];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  kit::MutexLock lock(log_mu_);
  if (log_ == nullptr) log_ = std::fopen(options_.log_path.c_str(), "ae");
  if (log_ == nullptr) return;
  std::fputs(text, log_);
  std::fflush(log_);
}

void CardManager::Message(const std::string& text) {
  if (options_.message) {
    options_.message(text);
  } else {
    PostMessage(text);
  }
}

void CardManager::StopPolling() {
  if (stop_) stop_->request_stop();
  SetExit(0);
}

bool CardManager::Open() {
  StopPolling();
  uint32_t status = 0;
  std::string why;
  int started = gpiocard::CardService::Start(options_.sysfs_root, options_.driver, &status, &why);
  if (started == -2 && status == gpiocard::kStatusNoSuchDevice) {
    // Every machine without the card: no cards, and nothing to complain about.
    Log("INFO: No Norvane card: %s\n", why.c_str());
  } else if (started != 0 && started != -1) {
    Log("ERROR: Unable to load driver! (%d)\n", started);
    Message(Format("Unable to load driver! (Code %d: %s)", started, why.c_str()));
    return false;
  }

  device_count_ = options_.device_count();
  if (device_count_ < 0) device_count_ = 0;
  for (auto& card : cards_) {
    if (card->handle != 0) CloseCard(card.get());
  }
  cards_.clear();
  for (int i = 0; i < device_count_; ++i) cards_.push_back(std::make_unique<Card>());
  has_cards_ = true;
  Log("%d audio cards\n", device_count_);

  opened_cards_ = 0;
  for (int i = 0; i < device_count_; ++i) {
    if (OpenCard(cards_[static_cast<size_t>(i)].get(), i)) {
      ++opened_cards_;
    } else {
      Log("INFO: Card.Open error on index %d!\n", i);
    }
  }
  Log("Found %d Norvane cards\n", opened_cards_);

  names_.clear();
  int k = 0;
  for (int id = 0; id < device_count_; ++id) {
    std::string name;
    if (!options_.device_name(id, &name)) continue;
    if (name.size() >= kPrefixLength &&
        Fold(name.substr(0, kPrefixLength)) == Fold(kCardPrefix)) {
      names_[Fold(name)] = k;
      Log("Associate card %d with device %d ('%s')\n", k, id, name.c_str());
      ++k;
    } else {
      Log("Skip device %d ('%s')\n", id, name.c_str());
    }
  }
  Log("Audio cards with Norvane prefix=%d\n", k);
  if (k != opened_cards_) {
    Log("Card count mismatch!\n");
    Message(Format("Card count mismatch! Expected %d, found %d.", opened_cards_, k));
    return false;
  }
  stop_ = std::make_unique<std::stop_source>();
  Run();
  return true;
}

void CardManager::Close() { StopPolling(); }

int CardManager::FindCard(const std::string& source_name) const {
  if (!has_cards_ || source_name.empty()) return -1;
  auto it = names_.find(Fold(source_name));
  return it == names_.end() ? -1 : it->second;
}

uint8_t CardManager::GetContacts(int card) const {
  if (card < 0 || card >= device_count_ || static_cast<size_t>(card) >= cards_.size()) return 0;
  return cards_[static_cast<size_t>(card)]->contacts.load();
}

bool CardManager::OpenCard(Card* card, int index) {
  if (card->handle != 0) CloseCard(card);
  card->number = index;
  const std::string name = gpiocard::UserDeviceName(index);
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    std::string error;
    uintptr_t handle = gpiocard::CardService::OpenDevice(name, &error);
    Log("CardOpen %d: %s (hCard=0x%X, %s)\n", index, handle != 0 ? "OK" : "FAILED!",
        static_cast<unsigned>(handle), handle != 0 ? std::strerror(0) : error.c_str());
    if (handle != 0) {
      card->handle = handle;
      return true;
    }
    // A card that is not there will not appear by waiting.
    if (error == std::strerror(ENOENT)) break;
    std::this_thread::sleep_for(kOpenRetryWait);
  }
  return false;
}

void CardManager::CloseCard(Card* card) {
  if (card->handle == 0) {
    Log("CardClose %d. Already closed!\n", card->number);
    return;
  }
  Log("Close card %d (hCard=0x%X)\n", card->number, static_cast<unsigned>(card->handle));
  gpiocard::CardService::CloseDevice(card->handle);
  card->handle = 0;
}

bool CardManager::ReadContacts(Card* card) {
  uint32_t offset = kStatusRegister, value = 0, transferred = 0, status = 0;
  bool ok = gpiocard::CardService::DeviceIoControl(card->handle, gpiocard::kIoctlReadWindow0,
                                                   &offset, 4, &value, 4, &transferred, &status);
  int32_t result = ok ? 0 : -6;
  if (ok) {
    auto low = static_cast<uint8_t>(value & 0xFF);
    auto contacts = static_cast<uint8_t>(~low & 0xF0);
    card->contacts.store(contacts);
    if (low != card->last_status) {
      Log("CardSkim %d: 0x%X-%X\n", card->number, low, contacts);
      card->last_status = low;
    }
  }
  if (result != card->last_result) {
    Log("CardSkim %d: ret=%d\n", card->number, result);
    card->last_result = result;
  }
  uint32_t clear[2] = {kStatusRegister, 0};
  (void)gpiocard::CardService::DeviceIoControl(card->handle, gpiocard::kIoctlWriteWindow0, clear,
                                               8, nullptr, 0, &transferred, &status);
  return ok;
}

bool CardManager::WaitForPolls(uint64_t count, uint32_t timeout_ms) const {
  std::unique_lock lock(poll_mu_);
  return polled_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return polls_.load() >= count; });
}

void CardManager::Body() {
  std::stop_token stop = stop_->get_token();
  const int64_t interval_us = int64_t{options_.poll_interval_ms} * 1000;
  int64_t next = clock_->NowUs();
  while (IsRunning() && !stop.stop_requested()) {
    for (size_t i = 0; i < cards_.size(); ++i) {
      Card* card = cards_[i].get();
      if (card->handle == 0) continue;
      if (!ReadContacts(card)) {
        Log("ERROR: Unable to read skim state from Norvane card %d!\n", static_cast<int>(i));
        CloseCard(card);
      }
    }
    {
      std::lock_guard lock(poll_mu_);
      polls_.fetch_add(1);
    }
    polled_.notify_all();
    // The schedule keeps to whole periods from the start; after a clock step
    // it starts again from now instead of polling to catch up.
    next += interval_us;
    int64_t now = clock_->NowUs();
    if (next <= now - interval_us || next > now + interval_us) next = now + interval_us;
    clock_->WaitUntil(next, stop);
  }
}

}  // namespace logrum::gpio
