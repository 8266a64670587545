#include "demo/helpandversion.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace corvane {

bool answerHelpOrVersion(int argc, char *argv[], const QString &description)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QString program = QFileInfo(arguments.value(0)).fileName();
    QCommandLineParser parser;
    const QCommandLineOption help({u"h"_s, u"help"_s}, u"Show this help."_s);
    const QCommandLineOption version({u"v"_s, u"version"_s}, u"Show the version."_s);
    parser.addOptions({help, version});
    // Unknown arguments are no error here: Qt's own (-platform, -reverse) come this way, and
    // taken as words they cannot be read as a cluster of -h and -v.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.parse(arguments);

    QString text;
    if (parser.isSet(help)) {
        // The parser's option list under our usage line: without an application object it
        // knows no program name.
        QString options = parser.helpText();
        options.remove(0, options.indexOf(u"Options:"_s));
        text = u"Usage: "_s + program + u" [options]\n\n"_s + description + u"\n\n"_s + options;
    } else if (parser.isSet(version)) {
        text = program + u' ' + QStringLiteral(CORVANE_VERSION) + u'\n';
    } else {
        return false;
    }
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    return true;
}

} // namespace corvane
