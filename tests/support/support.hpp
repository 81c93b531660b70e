// Test support shared by the C++ test programs.
#pragma once
