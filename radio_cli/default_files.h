// Where qv-radio finds its firmware image and chip configuration when the
// command line names none: the places the installed launch scripts use, then
// the programs' own relative paths, then the source tree it was built from.
// Plain functions; they only look at the file system and the environment.
#pragma once

#include <string>

namespace qvradio {

// The image a real board needs, from its maker, for this user (below
// $XDG_DATA_HOME, default ~/.local/share) and for everyone.
constexpr const char* kUserFirmware = "qv01/firmware/qv01-fx2.hex";
constexpr const char* kSystemFirmware = "/usr/local/share/qv01/firmware/qv01-fx2.hex";

// Where things are; a search tries them in order.
struct SearchPlaces {
    std::string data_home;  // $XDG_DATA_HOME, or ~/.local/share; empty: none
    std::string system_firmware = kSystemFirmware;
    std::string working_dir;     // the process's working directory
    std::string share_dir;       // the installation's share/qv01 (next to bin/), may not exist
    std::string source_root;     // the source tree the program was built from
    bool virtual_board = false;  // running under qv-virtual-board: the prototype image
};

// The places of this process: the environment, /proc/self/exe, the tree.
SearchPlaces this_process_places();

// A configuration found, and the working directory its run needs: the
// coefficient files FM_radio.ini names ("../config/dfir1.txt") are relative to
// the working directory, as for qv01_fm; the register dump config.c is
// written there too (not where it cannot be).
struct ConfigChoice {
    std::string path;         // absolute
    std::string working_dir;  // absolute
};

// Firmware: the maker's image (this user's, then everyone's) unless under the
// virtual board; then ../fw/proto.hex from the working directory (run/ of the
// tree, as qv01_fm reads it), the installation's fw/proto.hex, the tree's
// fw/proto.hex. Returns the first that exists as an absolute path, else the
// relative ../fw/proto.hex (so the error names it as qv01_fm would).
std::string find_firmware(const SearchPlaces& places);

// Configuration: ../config/FM_radio.ini from the working directory (which
// stays the working directory), the installation's config/FM_radio.ini (run
// in its folder), the tree's (run in the tree's run/). Else the relative
// path in the working directory, for the error.
ConfigChoice find_config(const SearchPlaces& places);

// A configuration named on the command line: run in its own folder, so the
// names in it are taken from there (FM_radio.ini's "../config/..." too,
// wherever the folder config/ lies).
ConfigChoice given_config(const std::string& path, const SearchPlaces& places);

}  // namespace qvradio
