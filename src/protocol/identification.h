// Identification of the instrument by "*IDN?".
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/identity_split.h"
#include "tavlib.h"

namespace tavlib::protocol {

// The last stage of Open_Tavril on a freshly opened and claimed device: asks
// "*IDN?" and reads on until a response line names the expected instrument,
// then fills `identity`.  Returns TAVRIL_OPEN_OK, or TAVRIL_OPEN_NOT_IDENTIFIED
// with the failure's code in *errorCode; never closes the device.
std::int32_t identify_instrument(TavrilHandle handle, InstrumentIdentity* identity,
                                 std::uint32_t* errorCode);

}  // namespace tavlib::protocol
