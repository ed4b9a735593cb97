#pragma once
// Request paths as a copy of the product web site on disk reads them.
#include <string>
#include <string_view>

// The name, below a copy of the site, of the file that the web site answers
// for strPath (a path below the site, without leading '/', query included):
// the query dropped, escapes decoded. False for a name that would leave the
// copy's tree or that no file can have: empty, absolute, a backslash or NUL,
// an empty, "." or ".." segment.
bool SiteMemberName(std::string_view strPath, std::string& strMember);

// True when text begins with lowerPrefix, letters compared without case.
bool StartsWithNoCase(std::string_view text, std::string_view lowerPrefix);
