// Windows 9x has no working CreateSemaphoreW, which the compiler's runtime
// support (its thread locks and unwinder) imports. This module defines the
// import slot itself, so the linker takes ours instead of KERNEL32's: the
// call goes to CreateSemaphoreA, which every system we run on provides. The
// runtime only ever creates unnamed semaphores, so no name is converted.
#include <windows.h>

namespace {

HANDLE WINAPI CreateSemaphoreWithoutName(LPSECURITY_ATTRIBUTES security, LONG initial, LONG maximum,
                                         LPCWSTR name) {
  if (name != nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  return CreateSemaphoreA(security, initial, maximum, nullptr);
}

}  // namespace

extern "C" {
// The slot the import thunk of CreateSemaphoreW reads through.
extern void* const kCreateSemaphoreWSlot __asm__("__imp__CreateSemaphoreW@16");
void* const kCreateSemaphoreWSlot = reinterpret_cast<void*>(&CreateSemaphoreWithoutName);
}
