// The seam through which scanning tells the user of a failure: each front end
// supplies the way it shows a message (a message box, a line on the terminal).
#pragma once

namespace scan {

// Shows `text` under `caption` and returns once the user has seen it.
using MessageHandler = void (*)(const char* text, const char* caption);

// Installs the front end's handler; nullptr restores the default, which
// writes the message to standard error.
void SetMessageHandler(MessageHandler handler);
void ShowUserMessage(const char* text, const char* caption);

}  // namespace scan
