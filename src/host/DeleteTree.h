#pragma once
#include <string>

namespace host {

// Deletes dir and everything below it, depth first; failures on the way are
// ignored. True when dir itself was removed. Links are removed, never followed.
bool DeleteTree(const std::string& dir);

}  // namespace host
