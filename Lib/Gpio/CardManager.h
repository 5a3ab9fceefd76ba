// The card manager: starts the card layer ("QrxDrvM"), opens one device per
// card, pairs the cards with the wave input devices whose product name
// begins with "Crystal SoundFusion" (in enumeration order; nothing else links
// them), and polls each card's contact register twice a second on its
// thread "NorvaneCardManager". The library asks which card carries a source
// (FindCard) and what its contacts read now (GetContacts).
//
// Contacts: the status register at offset 0x480 of window 0; its bits 4-7
// are the four contacts, a closed contact reading 0. Contact bits = NOT(low
// byte) AND 0xF0, so input 1 is bit 7 ... input 4 bit 4, as in the state byte.
//
// A machine without a card opens with no cards: every source reads its
// inputs 1-4 off, and nothing is reported as a failure (the log says so).
//
// Log: "NorvaneCardManager.log" in the state folder (or the path given),
// opened for appending at the first line and kept open; each line is one
// write followed by a flush, from either thread.
//
// Thread safety: Open, Close, FindCard and GetContacts run under the library
// lock; the poll thread writes each card's contact byte, which GetContacts
// reads without a lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "Driver/GpioCard/include/GpioCard.h"
#include "Lib/Kit/AppThread.h"
#include "Lib/Kit/Mutex.h"
#include "Lib/Platform/Clock.h"

namespace logrum::gpio {

struct CardManagerOptions {
  std::string sysfs_root = "/sys";
  gpiocard::DriverParameters driver;
  std::string log_path;               // "" = state folder's "NorvaneCardManager.log"
  platform::Clock* clock = nullptr;   // null = the process clock; the poll follows it
  uint32_t poll_interval_ms = 500;
  // The wave input devices; null = the platform's (WaveInDeviceCount, WaveInDeviceName).
  std::function<int()> device_count;
  std::function<bool(int device, std::string* name)> device_name;
  // Message boxes; null = the library's message route (MessageRoute.h).
  std::function<void(const std::string&)> message;
};

// Where the process's card manager takes its options from: LOGRUM2_GPIO_SYSFS
// (the sysfs root, default "/sys") and the driver's \Parameters in the store.
CardManagerOptions DefaultCardManagerOptions();

class CardManager : private kit::AppThread {
 public:
  static constexpr char kCardPrefix[] = "Crystal SoundFusion";
  static constexpr uint32_t kStatusRegister = 0x480;

  explicit CardManager(CardManagerOptions options);
  // Writes "~NorvaneCardManager", stops the thread, closes every card, stops the layer.
  ~CardManager() override;
  CardManager(const CardManager&) = delete;
  CardManager& operator=(const CardManager&) = delete;

  bool Open();
  void Close();  // stops the poll thread; cards and the layer stay
  int FindCard(const std::string& source_name) const;
  uint8_t GetContacts(int card) const;

  int device_count() const { return device_count_; }
  int opened_cards() const { return opened_cards_; }
  // Polls completed since construction; WaitForPolls waits (real time, at most
  // `timeout_ms`) until at least `count` have completed.
  uint64_t polls() const { return polls_.load(); }
  bool WaitForPolls(uint64_t count, uint32_t timeout_ms) const;

 private:
  struct Card {
    int number = -1;
    uintptr_t handle = 0;
    std::atomic<uint8_t> contacts{0};
    uint8_t last_status = 0;
    int32_t last_result = 0;
  };

  void Body() override;
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Message(const std::string& text);
  bool OpenCard(Card* card, int index);
  void CloseCard(Card* card);
  bool ReadContacts(Card* card);
  void StopPolling();

  CardManagerOptions options_;
  platform::Clock* clock_;
  int device_count_ = 0;
  int opened_cards_ = 0;
  bool has_cards_ = false;  // the card array exists (Open ran)
  std::vector<std::unique_ptr<Card>> cards_;
  std::map<std::string, int> names_;  // folded product name -> card number
  std::unique_ptr<std::stop_source> stop_;

  kit::Mutex log_mu_;
  FILE* log_ GUARDED_BY(log_mu_) = nullptr;

  mutable kit::Mutex poll_mu_;
  mutable std::condition_variable_any polled_;
  std::atomic<uint64_t> polls_{0};
};

}  // namespace logrum::gpio
