#pragma once
// The product web site that course files, the manifest and the encoder
// library are fetched from.
#include <string>

// QUILLBY_BASE_URL when set (a '/' is added when it lacks one), else the
// program's own site. Always ends in '/'.
std::string GetProductBaseUrl();
