#pragma once

#include <cstddef>

// The server's own limits: the waits, shares, budgets and buffer sizes that the game's rules
// leave to us. What each bounds is said where it is applied; here only why the number. Limits
// the rules fix (the send step's 10 ms, packet and frame sizes, the UDP queue, the ping ring)
// stay with their code.

// 10 s: a client logs in with its first write, a round trip after its connect; idle ones go soon.
enum { LOGIN_TIMEOUT_MS = 10000 };
// 1 s: more than a login takes to follow its accept, so a client about to log in is not the one closed.
enum { LOGIN_ROOM_MS = 1000 };
// 30 s: time for a handed-over client to arrive or a dropped one to reconnect; no longer unsteered.
enum { CLIENT_GRACE_MS = 30000 };

// 64 x 2048-byte buffers (128 KiB) per recvmmsg call; 16 calls a wake-up, then other completions.
enum { DATAGRAMS_PER_READ = 64, MAX_DATAGRAMS_PER_WAKE = 1024 };
// 1,000 events or 256 KiB: far above a client's frame of input; a flood waits in the kernel, not here.
enum { TCP_SHARE_EVENTS = 1000, TCP_SHARE_BYTES = 256 * 1024 };
// 100 ms: ten tries a second: a lasting failure does not spin the I/O thread, a passing one loses little.
enum { UDP_RECEIVE_RETRY_MS = 100 };
// 30 s: a live peer ends its frame within a round trip; as long as a stalled send (STALLED_WRITE_MS).
enum { INCOMPLETE_FRAME_TIMEOUT_MS = 30000 };
// 4 MiB: at 1000 players the datagrams that arrive in one send step's length, with a wide margin.
enum { UDP_RECEIVE_BUFFER = 4 * 1024 * 1024 };

// 4 MiB: sixteen kernel send buffers (SEND_BUFFER_BYTES) behind one write: a peer past it is not reading.
enum { MAX_TCP_BYTES_WAITING = 4 * 1024 * 1024 };
// 30 s: far beyond a congested link's pause and TCP's retransmissions: the peer never reads.
enum { STALLED_WRITE_MS = 30 * 1000 };
// 64 packets: one gather write's iovec array, far under the kernel's IOV_MAX of 1024.
constexpr std::size_t PACKETS_PER_WRITE = 64;
// 256 KiB: one kernel send buffer (SEND_BUFFER_BYTES) in one system call.
constexpr std::size_t BYTES_PER_WRITE = 256 * 1024;
// 1024: the kernel's most per sendmmsg call (UIO_MAXIOV); a 1000-player broadcast in one call.
constexpr std::size_t DATAGRAMS_PER_CALL = 1024;

// 100 ms: ten tries a second while descriptors are short: soon after one gives way, no spinning.
enum { ACCEPT_RETRY_MS = 100 };
// 10 s, then 3 probes 5 s apart: a vanished peer fails within 25 s, before a stalled send would.
enum { KEEPALIVE_IDLE_S = 10, KEEPALIVE_INTERVAL_S = 5, KEEPALIVE_PROBES = 3 };
// 256 KiB: what a client that does not read makes the kernel hold is bounded; one gather write fits.
enum { SEND_BUFFER_BYTES = 256 * 1024 };

// 200 ms: many round trips between servers of one site: a neighbour silent that long is down.
enum { NEIGHBOUR_CONNECT_TIMEOUT_MS = 200 };
// 200 ms: at most six frames' time a frame, however many neighbours the map lists at once.
enum { NEIGHBOUR_CONNECT_BUDGET_MS = 200 };
// 1 s doubling to 32 s: a restarting neighbour is back in seconds, a dead one costs a connect a half minute.
enum { NEIGHBOUR_REST_FIRST_MS = 1000, NEIGHBOUR_REST_MOST_MS = 32000 };

// 10 a second per peer and kind: every event of a peer's shows, a repeat cannot flood.
enum { INPUT_LINES_PER_SECOND = 10 };
// 2000 per kind at once: 2000 clients joining together each print their line.
enum { INPUT_KIND_BURST = 2000 };
// 10 a second per kind: a flood from many peers refills like one peer's.
enum { INPUT_KIND_LINES_PER_SECOND = 10 };
// 20,000 at once over all kinds: a flood's first minute writes at most 56,000 lines (8 MB).
enum { INPUT_LINES_BURST = 20000 };
// 600 a second over all kinds: 36,000 lines (5 MB) a minute while a flood lasts.
enum { INPUT_LINES_ALL_KINDS_PER_SECOND = 600 };

// 0.25 s: seven frames' movement catches up a hiccup; after a stall nothing leaps through a ship or a border.
constexpr double maxFrameStep = 0.25;
