#pragma once

namespace corvane {

// Numbers that reach hosts with a failure. The socket ones keep the classic socket-layer
// numbering that hosts already test for; the file ones the classic runtime numbering.
namespace ErrorNumber {
// Files and arguments.
inline constexpr int InvalidArgument = 5;
inline constexpr int FileNotFound = 53;
inline constexpr int FileAlreadyOpen = 55;
inline constexpr int DiskFull = 61;
inline constexpr int PathFileAccess = 75;
inline constexpr int PathNotFound = 76;

// Sockets.
inline constexpr int SocketPermissionDenied = 10013;
inline constexpr int SocketInvalidArgument = 10022;
inline constexpr int SocketWouldBlock = 10035;
inline constexpr int SocketInProgress = 10036;
inline constexpr int SocketMessageTooLong = 10040;
inline constexpr int SocketNotSupported = 10045;
inline constexpr int AddressInUse = 10048;
inline constexpr int AddressNotAvailable = 10049;
inline constexpr int NetworkDown = 10050;
inline constexpr int NetworkUnreachable = 10051;
inline constexpr int ConnectionAborted = 10053;
inline constexpr int ConnectionReset = 10054;
inline constexpr int NoBufferSpace = 10055;
inline constexpr int NotConnected = 10057;
inline constexpr int TimedOut = 10060;
inline constexpr int ConnectionRefused = 10061;
inline constexpr int HostNotFound = 11001;

// Our own, above the socket range and within 16 bits.
inline constexpr int MalformedAnnouncement = 30001;
inline constexpr int TransferInProgress = 30002;
inline constexpr int IncompleteFile = 30003;
inline constexpr int SaveFailed = 30004;
inline constexpr int ForeignConnection = 30005;
} // namespace ErrorNumber

} // namespace corvane
