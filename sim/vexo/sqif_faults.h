// What the Sqif loader of a Vexo can be told to do wrong, as named switches in one place.
#pragma once

namespace sim::vexo {

struct SqifLoaderFaults {};

}  // namespace sim::vexo
