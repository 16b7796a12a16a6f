// What the Dsp loader of a Vexo can be told to do wrong, as named switches in one place.
#pragma once

namespace sim::vexo {

struct DspLoaderFaults {};

}  // namespace sim::vexo
