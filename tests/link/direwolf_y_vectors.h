// "Y" answers recorded from Dire Wolf 1.6 (two instances on a simulated channel
// at 1200 baud), exactly as its AGW port sent them to the client registered as
// N0SRV, with N0USR connected to it on the first radio port. Dire Wolf names
// the calls in the order of the question, and answers 0 for a connection that
// does not exist.
#pragma once

#include <string>

template <size_t N> std::string recordedBytes(const char (&raw)[N])
{
    return std::string(raw, N - 1);
}

// Asked as N0SRV -> N0USR right after 601 bytes of text: three frames still to go.
inline constexpr char DIREWOLF_Y_THREE[] =
    "\x00\x00\x00\x00Y\x00\x00\x00N0SRV\x00\x00\x00\x00\x00N0USR\x00\x00\x00\x00\x00\x04\x00\x00\x00"
    "\x00\x00\x00\x00\x03\x00\x00\x00";

// The same question once the text was acknowledged.
inline constexpr char DIREWOLF_Y_ZERO[] =
    "\x00\x00\x00\x00Y\x00\x00\x00N0SRV\x00\x00\x00\x00\x00N0USR\x00\x00\x00\x00\x00\x04\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00";

// Asked with the calls the other way round (N0USR -> N0SRV): the answer keeps that order.
inline constexpr char DIREWOLF_Y_REVERSED[] =
    "\x00\x00\x00\x00Y\x00\x00\x00N0USR\x00\x00\x00\x00\x00N0SRV\x00\x00\x00\x00\x00\x04\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00";

// Asked about N0XYZ, which has no connection: 0.
inline constexpr char DIREWOLF_Y_NO_LINK[] =
    "\x00\x00\x00\x00Y\x00\x00\x00N0SRV\x00\x00\x00\x00\x00N0XYZ\x00\x00\x00\x00\x00\x04\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00";
