#include "cli/commandline.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFileInfo>

#include <limits>

using namespace Qt::StringLiterals;

namespace corvane {

namespace {

const QString Program = u"corvane-cli"_s;

QString generalHelp()
{
    return u"Usage: corvane-cli send FILE... --to HOST [options]\n"
           "       corvane-cli receive --into DIR [options]\n"
           "\n"
           "Copies files over TCP, one at a time, between two Corvane programs.\n"
           "\n"
           "Commands:\n"
           "  send      Send files to a receiving Corvane program.\n"
           "  receive   Receive files into a folder.\n"
           "\n"
           "Options:\n"
           "  -h, --help     Show this help; \"corvane-cli COMMAND --help\" shows the\n"
           "                 options of a command.\n"
           "  -v, --version  Show the version.\n"_s;
}

// The parser's own help from its option list on, under our usage line: the parser would
// name the program by its full path and put the command in the wrong place.
QString commandHelp(const QCommandLineParser &parser, const QString &usage,
                    const QString &description)
{
    QString options = parser.helpText();
    const qsizetype start = options.indexOf(u"Options:"_s);
    if (start > 0)
        options.remove(0, start);
    return u"Usage: "_s + usage + u"\n\n"_s + description + u"\n\n"_s + options;
}

CommandLine::Result usageError(const QString &problem, const QString &command = {})
{
    CommandLine::Result result;
    result.action = CommandLine::Action::UsageError;
    result.text = problem;
    result.helpHint = command.isEmpty()
                          ? u"Try 'corvane-cli --help' for more information."_s
                          : u"Try 'corvane-cli "_s + command + u" --help' for more information."_s;
    return result;
}

CommandLine::Result showText(const QString &text)
{
    CommandLine::Result result;
    result.action = CommandLine::Action::ShowText;
    result.text = text;
    return result;
}

// Reads an integer option into *value when it is set; false with *problem when its value is
// not a whole number within [low, high].
bool readNumber(const QCommandLineParser &parser, const QString &name, int low, int high,
                int *value, QString *problem)
{
    if (!parser.isSet(name))
        return true;
    const QString text = parser.value(name);
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok, 10);
    if (!ok || number < low || number > high) {
        *problem = u"invalid value '"_s + text + u"' for --"_s + name + u" (expected "_s +
                   QString::number(low) + u" to "_s + QString::number(high) + u")"_s;
        return false;
    }
    *value = int(number);
    return true;
}

const QCommandLineOption HelpOption({u"h"_s, u"help"_s}, u"Show this help."_s);

QCommandLineOption infoPortOption(const QString &what)
{
    return {u"info-port"_s,
            what + u" info channel (default "_s + QString::number(DefaultInfoPort) + u")."_s,
            u"port"_s};
}

QCommandLineOption binaryPortOption(const QString &what)
{
    return {u"binary-port"_s,
            what + u" binary channel (default "_s + QString::number(DefaultBinaryPort) + u")."_s,
            u"port"_s};
}

CommandLine::Result parseSend(const QStringList &arguments)
{
    const QString command = u"send"_s;
    QCommandLineParser parser;
    parser.addOption(HelpOption);
    parser.addOption({u"to"_s, u"Host name or address of the receiver."_s, u"host"_s});
    parser.addOption(infoPortOption(u"Receiver's port of the"_s));
    parser.addOption(binaryPortOption(u"Receiver's port of the"_s));
    parser.addOption({u"chunk-size"_s,
                      u"Bytes per send on the binary channel (default "_s +
                          QString::number(DefaultChunkSize) + u")."_s,
                      u"bytes"_s});
    parser.addPositionalArgument(u"FILE"_s, u"Files to send, in this order."_s, u"FILE..."_s);
    if (!parser.parse(arguments))
        return usageError(parser.errorText(), command);
    if (parser.isSet(HelpOption)) {
        return showText(commandHelp(
            parser, u"corvane-cli send FILE... --to HOST [options]"_s,
            u"Connects to a receiver, announces each file in turn, sends it and waits for the\n"
            "receiver's confirmation. Each confirmed file gets a line on stdout with its\n"
            "SHA-256.\n"
            "\n"
            "Exit status: 0 when every file was confirmed; 1 when one was refused, lost or\n"
            "unreadable; 2 for a wrong command line; 130 when cancelled (Ctrl-C)."_s));
    }

    CommandLine::Result result;
    result.action = CommandLine::Action::Send;
    SendOptions &options = result.send;
    options.files = parser.positionalArguments();
    if (options.files.isEmpty())
        return usageError(u"no file to send"_s, command);
    options.host = parser.value(u"to"_s);
    if (options.host.isEmpty())
        return usageError(u"no receiver given (--to HOST)"_s, command);
    QString problem;
    if (!readNumber(parser, u"info-port"_s, 1, 65535, &options.infoPort, &problem) ||
        !readNumber(parser, u"binary-port"_s, 1, 65535, &options.binaryPort, &problem) ||
        !readNumber(parser, u"chunk-size"_s, 1, LargestChunkSize, &options.chunkSize, &problem))
        return usageError(problem, command);
    if (options.infoPort == options.binaryPort)
        return usageError(u"the info port and the binary port must differ"_s, command);
    return result;
}

CommandLine::Result parseReceive(const QStringList &arguments)
{
    const QString command = u"receive"_s;
    QCommandLineParser parser;
    parser.addOption(HelpOption);
    parser.addOption({u"into"_s, u"Folder to save the files in."_s, u"dir"_s});
    parser.addOption(infoPortOption(u"Port to listen on for the"_s));
    parser.addOption(binaryPortOption(u"Port to listen on for the"_s));
    parser.addOption({u"yes"_s, u"Accept every file without asking."_s});
    parser.addOption({u"overwrite"_s,
                      u"Replace a file of the same name; without it a new file is saved as "
                      "\"name (1).ext\" beside it."_s});
    parser.addOption({u"sha256-file"_s,
                      u"Append \"HASH  NAME\" for each saved file to this file, as "
                      "\"sha256sum -c\" reads it in DIR."_s,
                      u"file"_s});
    parser.addOption({u"count"_s,
                      u"End after this many saved files (default: run until interrupted)."_s,
                      u"n"_s});
    if (!parser.parse(arguments))
        return usageError(parser.errorText(), command);
    if (parser.isSet(HelpOption)) {
        return showText(commandHelp(
            parser, u"corvane-cli receive --into DIR [options]"_s,
            u"Listens for a sender and saves each file it announces into DIR, under the\n"
            "announced name made safe. Asks on the terminal before each file unless --yes.\n"
            "Each saved file gets a line on stdout with its SHA-256. Ends after --count\n"
            "files, or on Ctrl-C, leaving no temporary file behind.\n"
            "\n"
            "Exit status: 0 when every accepted file was saved; 1 when one was not; 2 for a\n"
            "wrong command line; 130 when cancelled (Ctrl-C) while a file was arriving."_s));
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            u"unexpected argument '"_s + parser.positionalArguments().first() + u"'"_s, command);

    CommandLine::Result result;
    result.action = CommandLine::Action::Receive;
    ReceiveOptions &options = result.receive;
    if (!parser.isSet(u"into"_s) || parser.value(u"into"_s).isEmpty())
        return usageError(u"no folder to save into (--into DIR)"_s, command);
    const QFileInfo folder(parser.value(u"into"_s));
    if (!folder.isDir())
        return usageError(u"not a folder: "_s + parser.value(u"into"_s), command);
    options.directory = folder.canonicalFilePath();
    options.acceptAll = parser.isSet(u"yes"_s);
    options.overwrite = parser.isSet(u"overwrite"_s);
    if (parser.isSet(u"sha256-file"_s)) {
        const QFileInfo sums(parser.value(u"sha256-file"_s));
        if (sums.isDir())
            return usageError(u"a folder, not a file: "_s + parser.value(u"sha256-file"_s),
                              command);
        options.sha256File = sums.absoluteFilePath();
    }
    QString problem;
    if (!readNumber(parser, u"info-port"_s, 1, 65535, &options.infoPort, &problem) ||
        !readNumber(parser, u"binary-port"_s, 1, 65535, &options.binaryPort, &problem) ||
        !readNumber(parser, u"count"_s, 1, std::numeric_limits<int>::max(), &options.count,
                    &problem))
        return usageError(problem, command);
    if (options.infoPort == options.binaryPort)
        return usageError(u"the info port and the binary port must differ"_s, command);
    return result;
}

} // namespace

CommandLine::Result CommandLine::parse(const QStringList &arguments)
{
    if (arguments.size() < 2)
        return usageError(u"no command given"_s);
    const QString first = arguments.at(1);
    // The command's parser sees the program name followed by the command's own arguments.
    QStringList rest = arguments;
    rest.removeAt(1);
    if (first == u"send")
        return parseSend(rest);
    if (first == u"receive")
        return parseReceive(rest);
    if (first == u"-h" || first == u"--help" || first == u"help")
        return showText(generalHelp());
    if (first == u"-v" || first == u"--version")
        return showText(Program + u' ' + QStringLiteral(CORVANE_VERSION) + u'\n');
    if (first.startsWith(u'-'))
        return usageError(u"unknown option '"_s + first + u"'"_s);
    return usageError(u"unknown command '"_s + first + u"'"_s);
}

} // namespace corvane
