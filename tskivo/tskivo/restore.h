// Putting a flat download back into its tree: downloaders such as nzbget
// save every file of a tree's NZB file in one folder (the path's
// separators turned into "_", or the bare name); the NZB file names each
// file's folder, so the files can be moved back where they were posted from.
#pragma once

#include <iosfwd>
#include <string>

namespace tskivo {

// Moves the files of the flat download in `folder` into the tree the NZB
// file names, below `folder`; never overwrites. Says what it moved and what
// it could not find. 0 when every file is in its place, 1 when some were
// not found or left where they were, 255 when the NZB file cannot be read.
int restoreTree(const std::string& nzbPath, const std::string& folder, std::ostream& out);

}  // namespace tskivo
