#pragma once

#include <QString>

namespace snapvel::cdp {

// The template for a browser profile folder of this process:
// <temp>/snapvel-browser-<pid>-XXXXXX.
QString profileFolderTemplate();

// Deletes profile folders left in the temporary folder by earlier runs of
// this program that were killed before they could clean up: their owner
// process no longer exists, or its process id now belongs to a process that
// started after the folder was made. Returns how many were deleted.
int removeStaleProfileFolders(const QString &tempPath);

} // namespace snapvel::cdp
