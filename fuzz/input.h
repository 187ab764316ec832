// How one fuzz input becomes files: a loose file's name and contents, then
// the resource file.
//
//   byte 0            n, the length of the loose file's name
//   n bytes           the loose resource's name (the loose file's path is
//                     the resource file's path followed by it)
//   2 bytes           m, little-endian, the length of the loose contents
//   m bytes           the loose file's contents
//   the rest          the resource file
//
// Every length is clamped to what the input holds, so any bytes decode.
#ifndef RUX_FUZZ_INPUT_H
#define RUX_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <string>

struct FuzzInput {
    std::string looseName;
    std::string looseData;
    std::string resourceFile;
};

FuzzInput DecodeFuzzInput(const std::uint8_t* data, std::size_t size);
std::string EncodeFuzzInput(const FuzzInput& input);

#endif
