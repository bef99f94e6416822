// Where the library itself lies, for the programs it starts from beside it.
#ifndef SEEKWELL_LIBRARY_FOLDER_H
#define SEEKWELL_LIBRARY_FOLDER_H

#include <string>

namespace seekwell {

// The absolute folder of the module that holds this code, resolved once while
// it loads (a relative name against the working directory of that moment);
// empty when it could not be resolved. A host that changes its working
// directory later cannot move it.
std::string LibraryFolder();

}  // namespace seekwell

#endif  // SEEKWELL_LIBRARY_FOLDER_H
