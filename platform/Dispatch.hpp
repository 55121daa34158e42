#pragma once

// The execution model: one main queue that owns all control state, serial worker queues, and main-thread tasks
// written as C++20 coroutines that suspend only at explicit waits and always resume on the main queue.

#include "MainQueue.hpp"
#include "SerialQueue.hpp"
#include "Tasks.hpp"
