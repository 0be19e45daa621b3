// Saving a received file safely. The content of an incoming file frame is streamed into a
// new hidden temporary file in the save folder and renamed over the target only once its
// last byte has arrived, so:
//   - memory use does not depend on the size the peer announces;
//   - a frame that is cut short, or whose save fails, leaves an existing file of that name
//     untouched and no partial file behind;
//   - the target is replaced in one step (a reader of the target sees the old or the new
//     file, never a mix).
// The temporary file is created with O_EXCL under a fresh random name ".quodem-XXXXXX.part",
// so it never opens or follows anything already in the folder.
#pragma once

#include <memory>
#include <string>

#include "quodem/platform/framework/streams.h"

namespace quodem {

// Creates a new temporary file in `directory` and returns a stream on it. Throws EFOpenError
// when the folder is missing or not writable.
std::unique_ptr<TFileStream> CreateReceiveTempFile(const std::string& directory);

// Closes `temp` and renames it to `target` (replacing an existing file). On failure removes
// the temporary file and returns false. `temp` is empty afterwards either way.
bool CommitReceivedFile(std::unique_ptr<TFileStream>& temp, const std::string& target);

// Closes and removes the temporary file, if any. `temp` is empty afterwards.
void DiscardReceivedFile(std::unique_ptr<TFileStream>& temp);

}  // namespace quodem
