// The message for a media file that could not be opened, shared by the
// engine's input files and the media probe. Pure function, any thread,
// throws nothing but std::bad_alloc.
#pragma once

#include <string>

namespace avbind {

// AErrorCode is the library's negative error number from opening AFileName.
// The file name is inserted as text, so a '%' in it is kept as it is.
std::string InputOpenErrorText(const std::string &AFileName, int AErrorCode);

}  // namespace avbind
