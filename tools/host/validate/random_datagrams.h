#pragma once
// The malformed input the validator throws at a device: stream datagrams (garbage, frames cut
// short, random or extreme frames, valid frames with a long tail) and announcements (garbage
// and broken or hostile JSON), drawn from one random stream. None is the end-of-stream
// datagram, which legitimately ends a stream.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace telmora::host {

struct RandomDatagram {
    std::string kind;  // what it is, for the check's summary
    std::vector<std::uint8_t> bytes;
};

class RandomDatagrams {
public:
    // `validFrames`: whole sensor frames, the tails of the "valid frame, long" kind.
    RandomDatagrams(std::mt19937_64& random, std::vector<std::vector<std::uint8_t>> validFrames);

    // A datagram for a device's stream endpoint.
    RandomDatagram streamDatagram();
    // A datagram for a device's listening port.
    std::vector<std::uint8_t> announcement();

private:
    int uniform(int low, int high);
    std::vector<std::uint8_t> randomBytes(std::size_t size);
    // A sensor frame with every value at or beyond the edge of its range: the encoder clamps,
    // so these are the most extreme frames the wire can carry.
    std::vector<std::uint8_t> extremeFrame();

    std::mt19937_64& random_;
    std::vector<std::vector<std::uint8_t>> validFrames_;
};

// A valid sensor frame of a person standing, the root moved by `x` metres.
std::vector<std::uint8_t> standingFrame(float x);

}  // namespace telmora::host
