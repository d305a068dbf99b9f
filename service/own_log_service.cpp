#include "service/own_log_service.h"

#include <utility>

#include "service/trace_log_manager_object.h"

namespace wl {

void OwnLogService::Serve(TraceLogManagerFactory* factory) {
  std::lock_guard lock(mutex_);
  factory_ = factory;
}

void OwnLogService::Stop() {
  TraceLogManagerFactory* factory = nullptr;
  {
    // Taken while no record is on its way to the object, so that none
    // reaches it after the files are closed.
    std::lock_guard lock(mutex_);
    factory = std::exchange(factory_, nullptr);
  }
  if (factory != nullptr && factory->Object() != nullptr) factory->Object()->Core().CloseFiles();
}

void OwnLogService::Use(const std::function<void(ITraceLogManager*)>& use) {
  std::lock_guard lock(mutex_);
  ITraceLogManager* manager = nullptr;
  if (factory_ != nullptr &&
      FAILED(factory_->CreateInstance(nullptr, IID_ITraceLogManager, reinterpret_cast<void**>(&manager)))) {
    manager = nullptr;
  }
  use(manager);
  if (manager != nullptr) manager->Release();
}

}  // namespace wl
