// The executive's life cycle, driven by the kernel core.
#pragma once

#include <string>
#include <vector>

namespace plat {

void ExStartWorkers();
// Waits until every queued work item has run (the workers keep running).
void ExDrainWorkers();
// Stops the worker threads once their queues are empty and waits for them.
void ExStopWorkers();
// Resources initialised and never deleted; forgets them.
std::vector<std::string> ExReportResources();
void ExForgetResources();
// Power-off: queues and resource bookkeeping dropped without running anything.
void ExForgetEverything();

}  // namespace plat
