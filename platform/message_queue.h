// The thread message queue as far as a service's message loop needs it:
// GetMessageW, TranslateMessage, DispatchMessageW and PostThreadMessageW.
// On Windows the system's own; on Linux a queue per thread that only
// carries posted messages (there are no windows).
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace wl::platform {

inline constexpr std::uint32_t kWmQuit = 0x0012;

// MSG, as far as posted thread messages fill it.
struct ThreadMessage {
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

// Makes sure the calling thread has a queue, so that messages posted to it
// before its first GetMessageW are kept (PeekMessageW with PM_NOREMOVE).
void EnsureThreadMessageQueue();

// Waits for the next message of the calling thread's queue: 1 with a
// message, 0 for WM_QUIT, -1 on failure.
int GetMessageW(ThreadMessage* message);
void TranslateMessage(const ThreadMessage& message);
void DispatchMessageW(const ThreadMessage& message);

// Posts a message to a thread's queue (any thread may call): 0, or 1444
// when the thread has no queue.
[[nodiscard]] Win32Error PostThreadMessageW(std::uint32_t threadId, std::uint32_t message, std::uintptr_t wParam = 0,
                                            std::intptr_t lParam = 0);

}  // namespace wl::platform
