// The tool's waits between lock attempts, recorded instead of slept.
#ifndef KELVANE_TEST_FAKE_SLEEP_H
#define KELVANE_TEST_FAKE_SLEEP_H

#include <functional>
#include <vector>

// Every wait the tool asked for since the last ResetSleeps().
const std::vector<unsigned> &RecordedSleeps();
// Clears the record; action, if given, runs at each wait with its number.
void ResetSleeps(std::function<void(int)> action = nullptr);

#endif
