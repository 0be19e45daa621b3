// ShowMessage and the name part of a path.
#pragma once

#include <functional>
#include <string>

namespace quodem {

// Shows `text` (UTF-8) to the user and returns once it has been seen: calls the host's message
// handler when one is installed (a GUI host shows a modal box; a test captures the text),
// otherwise writes the text and a newline to standard error. May be called on any thread;
// the handler runs on the calling thread.
void ShowMessage(const std::string& text);

using TShowMessageHandler = std::function<void(const std::string& text)>;
// Installs the handler (an empty one restores the default) and returns the previous one.
TShowMessageHandler SetShowMessageHandler(TShowMessageHandler handler);

// The characters after the last path separator ('/' on this platform); the whole path when
// there is none. A colon is an ordinary character: "10:00.log" stays whole.
std::string ExtractFileName(const std::string& path);

}  // namespace quodem
