// The installation's fixed numbers, each written once: how many channels of each kind it has,
// which numbers are ports, which ports it may listen on and the one it listens on unless told
// otherwise.
#pragma once

// How many receive channels and how many send channels an installation has at most; the
// preferences say how many of them are used.
inline constexpr int ChannelCount = 4;

inline constexpr int MaxPort = 65535;
// A port a peer can be called at and an address page or a URL can name.
template <class Number>
constexpr bool IsValidPort(Number port)
{
    return port >= 1 && port <= MaxPort;
}

// The ports this installation may listen on, its FTP data ports included: ports below 1024
// are the system's, and servers refuse to call them.
inline constexpr int MinListenPort = 1024;
inline constexpr int MaxListenPort = MaxPort;
template <class Number>
constexpr bool IsListenPort(Number port)
{
    return port >= MinListenPort && port <= MaxListenPort;
}

// The receive port of an installation, and of a peer, that names none.
inline constexpr int DefaultListenPort = 4444;
