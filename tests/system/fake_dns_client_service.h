#pragma once

// Shared by the fake DNS client service and the tests that drive it.
inline constexpr char kFakeServiceName[] = "Dnscache";
// A user-defined control (128-255) that ends the fake whatever it was told at its start.
inline constexpr unsigned long kEndControl = 200;
