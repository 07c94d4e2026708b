// For tests only: the service reads its settings once per process and keeps them, but a
// test program loads them many times.
#pragma once

// Frees the six texts of Settings and zeroes the record, as at process start.
void ResetSettingsForTest();
