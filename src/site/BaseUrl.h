#pragma once
// The product web site that course files, the manifest and the encoder
// library are fetched from.
#include <string>

// QUILLBY_BASE_URL when set to anything but blanks, else the program's own
// site: one base or several separated by spaces (see CProductSite).
std::string GetProductBaseUrl();
