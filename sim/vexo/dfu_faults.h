// What the Dfu loader of a Vexo can be told to do wrong, as named switches in one place.
#pragma once

namespace sim::vexo {

struct DfuLoaderFaults {};

}  // namespace sim::vexo
