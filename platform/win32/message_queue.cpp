// Thread message queues on Windows: the system's own.
#include "platform/message_queue.h"

#include <windows.h>

namespace wl::platform {
namespace {

// The message that GetMessageW took last, for TranslateMessage and
// DispatchMessageW on the same thread.
thread_local MSG lastMessage{};

}  // namespace

void EnsureThreadMessageQueue() {
  MSG message;
  ::PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

int GetMessageW(ThreadMessage* message) {
  if (message == nullptr) return -1;
  BOOL result = ::GetMessageW(&lastMessage, nullptr, 0, 0);
  if (result == -1) return -1;
  *message = {lastMessage.message, lastMessage.wParam, lastMessage.lParam};
  return result == 0 ? 0 : 1;
}

void TranslateMessage(const ThreadMessage&) { ::TranslateMessage(&lastMessage); }

void DispatchMessageW(const ThreadMessage&) { ::DispatchMessageW(&lastMessage); }

Win32Error PostThreadMessageW(std::uint32_t threadId, std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) {
  return ::PostThreadMessageW(threadId, message, wParam, lParam) ? kErrorSuccess : Win32Error(::GetLastError());
}

}  // namespace wl::platform
