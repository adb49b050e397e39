#pragma once

namespace Vondra {

// The whole life of a TavAgent process: without argument the resident agent,
// with one the launch of that request. Always returns 0.
int runAgent(int& argc, char** argv);

} // namespace Vondra
