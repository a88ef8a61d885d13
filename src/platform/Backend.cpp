#include <platform/Backend.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "cf/CFRuntime.h"

namespace platform {

namespace {
Backend *gMachine = nullptr;
Backend *gInstalled = nullptr;
std::atomic<uint64_t> gGeneration{1};

std::mutex &ObserversMutex() {
  static std::mutex m;
  return m;
}
std::vector<void (*)()> &Observers() {
  static std::vector<void (*)()> observers;
  return observers;
}

void Changed() {
  gGeneration.fetch_add(1);
  std::vector<void (*)()> observers;
  {
    std::lock_guard lock(ObserversMutex());
    observers = Observers();
  }
  for (auto observer : observers) observer();
}
}  // namespace

Backend &backend() {
  if (gInstalled) return *gInstalled;
  if (!gMachine) CFFatal("platform", "no backend: install one, or link the machine's");
  return *gMachine;
}

void setBackend(Backend *b) {
  Changed();
  gInstalled = b;
}

void setMachine(Backend *machine) {
  Changed();
  gMachine = machine;
}

void whenBackendChanges(void (*observer)()) {
  std::lock_guard lock(ObserversMutex());
  for (auto known : Observers())
    if (known == observer) return;
  Observers().push_back(observer);
}

uint64_t backendGeneration() {
  return gGeneration.load();
}

}  // namespace platform
