#include "fuzz/input.h"

namespace {

// Takes up to length bytes from the front of [*at, end).
std::string Take(const std::uint8_t** at, const std::uint8_t* end, std::size_t length) {
    const std::size_t left = static_cast<std::size_t>(end - *at);
    if (length > left) length = left;
    std::string out(reinterpret_cast<const char*>(*at), length);
    *at += length;
    return out;
}

}  // namespace

FuzzInput DecodeFuzzInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input;
    const std::uint8_t* at = data;
    const std::uint8_t* end = data + size;
    if (at == end) return input;
    const std::size_t nameLength = *at++;
    input.looseName = Take(&at, end, nameLength);
    std::size_t dataLength = 0;
    if (at < end) dataLength = *at++;
    if (at < end) dataLength |= static_cast<std::size_t>(*at++) << 8;
    input.looseData = Take(&at, end, dataLength);
    input.resourceFile = Take(&at, end, static_cast<std::size_t>(end - at));
    return input;
}

std::string EncodeFuzzInput(const FuzzInput& input) {
    const std::size_t nameLength = input.looseName.size() < 255 ? input.looseName.size() : 255;
    const std::size_t dataLength = input.looseData.size() < 65535 ? input.looseData.size() : 65535;
    std::string out;
    out += static_cast<char>(nameLength);
    out += input.looseName.substr(0, nameLength);
    out += static_cast<char>(dataLength & 0xFF);
    out += static_cast<char>(dataLength >> 8);
    out += input.looseData.substr(0, dataLength);
    out += input.resourceFile;
    return out;
}
