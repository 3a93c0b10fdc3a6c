#pragma once
// The running executable's full path (the module file name of the process).
#include <string>

std::wstring ProgramFileName();
