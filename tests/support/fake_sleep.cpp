// Linked into every unit test program: replaces the C library's sleep so
// that seven waits of up to ten seconds cost nothing.
#include "fake_sleep.h"

namespace {

std::vector<unsigned> recorded;
std::function<void(int)> on_sleep;

} // namespace

extern "C" unsigned int sleep(unsigned int seconds)
{
	recorded.push_back(seconds);
	if (on_sleep)
		on_sleep(static_cast<int>(recorded.size()));
	return 0;
}

const std::vector<unsigned> &RecordedSleeps()
{
	return recorded;
}

void ResetSleeps(std::function<void(int)> action)
{
	recorded.clear();
	on_sleep = std::move(action);
}
