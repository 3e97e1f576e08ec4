// Where the driver finds the FX2 firmware image and its chip configurations
// when the device arguments do not name them: the same places as the
// installed programs' launch scripts, then the source tree it was built from.
#pragma once

#include <string>

namespace qv01soapy {

// The packaged data folder (share/qv01/, with fw/proto.hex and config/) of
// the installation this module belongs to, found relative to the module's
// own file; else the source tree the module was built from (its fw/ and
// config/). Empty when neither holds the driver's configurations.
std::string data_directory();

// The firmware image to download: the first existing of
//   $XDG_DATA_HOME/qv01/firmware/qv01-fx2.hex (default ~/.local/share/...),
//   /usr/local/share/qv01/firmware/qv01-fx2.hex  (the maker's image),
//   <data directory>/fw/proto.hex                (the prototype, which only
//                                                 the virtual board runs).
// Empty when none exists.
std::string default_firmware();

// The directory of the rate configurations: <data directory>/config, or
// empty.
std::string default_config_directory();

}  // namespace qv01soapy
