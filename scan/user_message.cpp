#include "scan/user_message.h"

#include <atomic>
#include <cstdio>

namespace scan {
namespace {

void WriteToStandardError(const char* text, const char* caption) {
  std::fprintf(stderr, "%s: %s\n", caption, text);
}

std::atomic<MessageHandler> g_handler{WriteToStandardError};

}  // namespace

void SetMessageHandler(MessageHandler handler) {
  g_handler.store(handler != nullptr ? handler : WriteToStandardError);
}

void ShowUserMessage(const char* text, const char* caption) { g_handler.load()(text, caption); }

}  // namespace scan
