#pragma once

#include "protocol/defaults.h"

#include <QString>
#include <QStringList>

namespace corvane {

// Exit codes of corvane-cli.
namespace ExitCode {
inline constexpr int Success = 0;
inline constexpr int TransferFailed = 1;
inline constexpr int UsageError = 2;
// Ctrl-C or SIGTERM while a file was under way, as shells report a program ended by SIGINT.
inline constexpr int Cancelled = 130;
} // namespace ExitCode

struct SendOptions
{
    QStringList files;
    QString host;
    int infoPort = DefaultInfoPort;
    int binaryPort = DefaultBinaryPort;
    int chunkSize = DefaultChunkSize;
};

struct ReceiveOptions
{
    QString directory;
    int infoPort = DefaultInfoPort;
    int binaryPort = DefaultBinaryPort;
    bool acceptAll = false;
    bool overwrite = false;
    int count = 0;      // 0: no limit
    QString sha256File; // absolute; empty: none
};

// Reads corvane-cli's arguments: a command ("send" or "receive") and its options, or
// --help / --version. Problems come back as one sentence, ready for "corvane-cli: <problem>".
class CommandLine
{
public:
    enum class Action
    {
        Send,
        Receive,
        ShowText,
        UsageError
    };

    struct Result
    {
        Action action = Action::UsageError;
        SendOptions send;
        ReceiveOptions receive;
        QString text;     // help or version text for ShowText, the problem for UsageError
        QString helpHint; // how to get help, for UsageError
    };

    // arguments as QCoreApplication::arguments() gives them (the program first).
    static Result parse(const QStringList &arguments);
};

} // namespace corvane
