// Where the library itself lies, for the programs it starts from beside it.
#ifndef SEEKWELL_LIBRARY_FOLDER_H
#define SEEKWELL_LIBRARY_FOLDER_H

#include <string>

namespace seekwell {

// The absolute folder of the module that holds this code, resolved once while
// it loads; empty when it could not be resolved. A host that changes its
// working directory later cannot move it.
const std::string& LibraryFolder();

// The absolute folder of a module named fileName (as the dynamic loader gives
// it), resolved against the current working directory when it is relative;
// empty when it cannot be resolved.
std::string AbsoluteFolderOf(const char* fileName);

}  // namespace seekwell

#endif  // SEEKWELL_LIBRARY_FOLDER_H
