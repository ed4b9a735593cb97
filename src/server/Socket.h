#pragma once
// Owner of one socket descriptor; closing it is closesocket.
#include "support/Handles.h"

using CSocket = support::CFd;
// The same owner closes any descriptor: a file that a reply sends.
using CFileDescriptor = support::CFd;
