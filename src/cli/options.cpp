#include "cli/options.h"

#include "cli/addresslist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <functional>
#include <optional>

namespace snapvel::cli {

namespace {

// Limits beyond which a value is a mistake rather than a wish.
constexpr int kMaxViewportSide = 16384;
constexpr double kMinScale = 0.1;
constexpr double kMaxScale = 8.0;
constexpr qint64 kMaxDelayMs = 600000;
constexpr double kMinTimeoutSeconds = 0.1;
constexpr double kMaxTimeoutSeconds = 3600;
constexpr int kMaxJobs = 64;
constexpr qint64 kMaxMemoryMiB = qint64(1) << 22; // 4 TiB

Failure usage(const QString &message)
{
    return Failure{message};
}

Failure outOfRange(const QString &option, const QString &low, const QString &high,
                   const QString &unit, const QString &value)
{
    return usage(QStringLiteral("%1 must be between %2 and %3%4, not %5.")
                     .arg(option, low, high,
                          unit.isEmpty() ? QString() : QStringLiteral(" ") + unit, value));
}

Result<qint64> wholeNumber(const QString &option, const QString &value, qint64 low, qint64 high,
                           const QString &unit)
{
    bool ok = false;
    const qint64 number = value.toLongLong(&ok);
    if (!ok)
        return usage(
            QStringLiteral("%1 takes a whole number%2, not \"%3\".")
                .arg(option, unit.isEmpty() ? QString() : QStringLiteral(" of ") + unit, value));
    if (number < low || number > high)
        return outOfRange(option, QString::number(low), QString::number(high), unit, value);
    return number;
}

Result<double> decimalNumber(const QString &option, const QString &value, double low, double high,
                             const QString &unit)
{
    bool ok = false;
    const double number = value.toDouble(&ok);
    if (!ok || !std::isfinite(number))
        return usage(
            QStringLiteral("%1 takes a number%2, not \"%3\".")
                .arg(option, unit.isEmpty() ? QString() : QStringLiteral(" of ") + unit, value));
    if (number < low || number > high)
        return outOfRange(option, QString::number(low), QString::number(high), unit, value);
    return number;
}

// The options given on the command line, before they are checked together.
struct Given
{
    QStringList addresses;
    std::optional<QString> input;
    std::optional<QString> output;
    std::optional<OutputFormat> format;
    std::optional<int> quality;
    bool quiet = false;
    bool verbose = false;
};

// Chooses the output and its format from -o, --format and the number of
// addresses.
Status chooseOutput(const Given &given, CaptureSettings &settings)
{
    const bool batch = settings.addresses.size() > 1 || given.input.has_value();
    const QString output = given.output.value_or(QString());
    const QFileInfo info(output);
    if (output.isEmpty() || info.isDir() || output.endsWith(QLatin1Char('/'))) {
        settings.output = output.isEmpty() ? QStringLiteral(".") : output;
        settings.outputIsFolder = true;
        settings.format = given.format.value_or(OutputFormat::Png);
        return Status::success();
    }
    if (batch) {
        if (info.exists())
            return usage(QStringLiteral("-o: with several addresses -o names a folder, and %1 "
                                        "is a file.")
                             .arg(output));
        settings.output = output;
        settings.outputIsFolder = true;
        settings.format = given.format.value_or(OutputFormat::Png);
        return Status::success();
    }

    settings.output = output;
    settings.outputIsFolder = false;
    const QString suffix = info.fileName().contains(QLatin1Char('.')) ? info.suffix() : QString();
    if (suffix.isEmpty()) {
        settings.format = given.format.value_or(OutputFormat::Png);
        return Status::success();
    }
    const std::optional<OutputFormat> named = formatNamed(suffix);
    if (!named)
        return usage(QStringLiteral("-o: cannot write .%1 files; the formats available are %2.")
                         .arg(suffix, availableFormatNames().join(QStringLiteral(", "))));
    if (given.format && *given.format != *named)
        return usage(QStringLiteral("--format %1 does not match the extension of %2.")
                         .arg(extensionOf(*given.format), output));
    settings.format = *named;
    return Status::success();
}

Status checkTogether(const Given &given, CaptureSettings &settings)
{
    if (settings.addresses.isEmpty())
        return usage(given.input ? QStringLiteral("--input: %1 holds no address.").arg(*given.input)
                                 : QStringLiteral("No address given: name at least one page to "
                                                  "capture, or a list of them with --input."));
    if (given.quiet && given.verbose)
        return usage(QStringLiteral("--quiet and --verbose cannot be used together."));
    settings.verbosity = given.quiet     ? Verbosity::Quiet
                         : given.verbose ? Verbosity::Verbose
                                         : Verbosity::Normal;
    if (Status chosen = chooseOutput(given, settings); !chosen)
        return chosen;
    if (Status available = checkAvailable(settings.format); !available)
        return usage((given.format ? QStringLiteral("--format: ") : QStringLiteral("-o: ")) +
                     available.error());
    if (given.quality) {
        if (!takesQuality(settings.format))
            return usage(QStringLiteral("--quality applies to jpg and webp pictures only, not %1.")
                             .arg(extensionOf(settings.format)));
        settings.quality = *given.quality;
    } else {
        settings.quality = defaultQuality(settings.format);
    }
    return Status::success();
}

} // namespace

Result<ParsedCommand> parseCaptureArguments(const QStringList &arguments,
                                            const ParseContext &context)
{
    ParsedCommand command;
    CaptureSettings &settings = command.settings;
    settings.jobs = std::clamp(context.cores, 1, kMaxJobs);
    Given given;

    // Asking for help (or the version) wins over any mistake beside it.
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--"))
            break;
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            command.action = ParsedCommand::Action::Help;
            return command;
        }
        if (argument == QLatin1String("--version")) {
            command.action = ParsedCommand::Action::Version;
            return command;
        }
    }

    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--")) {
            given.addresses += arguments.mid(i + 1);
            break;
        }
        if (!argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
            given.addresses << argument;
            continue;
        }

        // --name=value or --name value.
        QString name = argument;
        std::optional<QString> attached;
        if (const qsizetype equals = argument.indexOf(QLatin1Char('='));
            argument.startsWith(QLatin1String("--")) && equals > 0) {
            name = argument.left(equals);
            attached = argument.mid(equals + 1);
        }
        auto value = [&](const QString &what) -> Result<QString> {
            if (attached) {
                if (attached->isEmpty())
                    return usage(QStringLiteral("%1 needs a value (%2).").arg(name, what));
                return *attached;
            }
            // A following option is not taken for the value: the value has
            // been left out.
            if (i + 1 >= arguments.size() || arguments.at(i + 1).startsWith(QLatin1String("--")) ||
                arguments.at(i + 1).isEmpty())
                return usage(QStringLiteral("%1 needs a value (%2).").arg(name, what));
            return arguments.at(++i);
        };
        auto flag = [&]() -> Status {
            if (attached)
                return usage(QStringLiteral("%1 takes no value.").arg(name));
            return Status::success();
        };
        // Reads a whole number into target.
        auto whole = [&](const QString &what, qint64 low, qint64 high, const QString &unit,
                         const std::function<void(qint64)> &store) -> Status {
            const Result<QString> text = value(what);
            if (!text)
                return text.failure();
            const Result<qint64> number = wholeNumber(name, text.value(), low, high, unit);
            if (!number)
                return number.failure();
            store(number.value());
            return Status::success();
        };

        Status status;
        if (name == QLatin1String("-o") || name == QLatin1String("--output")) {
            const Result<QString> text = value(QStringLiteral("a file or folder"));
            if (text)
                given.output = text.value();
            else
                status = text.failure();
        } else if (name == QLatin1String("-i") || name == QLatin1String("--input")) {
            const Result<QString> text = value(QStringLiteral("a file of addresses, or -"));
            if (text)
                given.input = text.value();
            else
                status = text.failure();
        } else if (name == QLatin1String("--format")) {
            const Result<QString> text = value(QStringLiteral("png, jpg, bmp or webp"));
            if (!text) {
                status = text.failure();
            } else if (const auto format = formatNamed(text.value())) {
                given.format = format;
            } else {
                status = usage(
                    QStringLiteral("--format: \"%1\" is not a picture format; the "
                                   "formats available are %2.")
                        .arg(text.value(), availableFormatNames().join(QStringLiteral(", "))));
            }
        } else if (name == QLatin1String("--quality")) {
            status = whole(QStringLiteral("0 to 100"), 0, 100, {},
                           [&](qint64 n) { given.quality = int(n); });
        } else if (name == QLatin1String("--width")) {
            status = whole(QStringLiteral("pixels"), 1, kMaxViewportSide, QStringLiteral("pixels"),
                           [&](qint64 n) { settings.viewport.setWidth(int(n)); });
        } else if (name == QLatin1String("--height")) {
            status = whole(QStringLiteral("pixels"), 1, kMaxViewportSide, QStringLiteral("pixels"),
                           [&](qint64 n) { settings.viewport.setHeight(int(n)); });
        } else if (name == QLatin1String("--scale")) {
            const Result<QString> text = value(QStringLiteral("a device scale factor such as 2"));
            const Result<double> number =
                text ? decimalNumber(name, text.value(), kMinScale, kMaxScale, {})
                     : Result<double>(text.failure());
            if (number)
                settings.scale = number.value();
            else
                status = number.failure();
        } else if (name == QLatin1String("--wait")) {
            const Result<QString> text = value(QStringLiteral("load or networkidle"));
            if (!text)
                status = text.failure();
            else if (text.value() == QLatin1String("load"))
                settings.waitFor = WaitFor::Load;
            else if (text.value() == QLatin1String("networkidle"))
                settings.waitFor = WaitFor::NetworkIdle;
            else
                status = usage(QStringLiteral("--wait takes load or networkidle, not \"%1\".")
                                   .arg(text.value()));
        } else if (name == QLatin1String("--delay")) {
            status = whole(QStringLiteral("milliseconds"), 0, kMaxDelayMs,
                           QStringLiteral("milliseconds"),
                           [&](qint64 n) { settings.delay = std::chrono::milliseconds(n); });
        } else if (name == QLatin1String("--timeout")) {
            const Result<QString> text = value(QStringLiteral("seconds"));
            const Result<double> number =
                text ? decimalNumber(name, text.value(), kMinTimeoutSeconds, kMaxTimeoutSeconds,
                                     QStringLiteral("seconds"))
                     : Result<double>(text.failure());
            if (number)
                settings.timeout = std::chrono::milliseconds(std::llround(number.value() * 1000));
            else
                status = number.failure();
        } else if (name == QLatin1String("-j") || name == QLatin1String("--jobs")) {
            status = whole(QStringLiteral("pages at once"), 1, kMaxJobs, QStringLiteral("pages"),
                           [&](qint64 n) { settings.jobs = int(n); });
        } else if (name == QLatin1String("--memory")) {
            status =
                whole(QStringLiteral("megabytes"), 1, kMaxMemoryMiB, QStringLiteral("megabytes"),
                      [&](qint64 n) { settings.memoryBudget = n * 1024 * 1024; });
        } else if (name == QLatin1String("--viewport")) {
            status = flag();
            settings.viewportOnly = true;
        } else if (name == QLatin1String("--expand-scroller")) {
            status = flag();
            settings.expandScroller = true;
        } else if (name == QLatin1String("-q") || name == QLatin1String("--quiet")) {
            status = flag();
            given.quiet = true;
        } else if (name == QLatin1String("-v") || name == QLatin1String("--verbose")) {
            status = flag();
            given.verbose = true;
        } else {
            status = usage(
                QStringLiteral("Unknown option %1 (snapvel capture --help lists them).").arg(name));
        }
        if (!status)
            return status.failure();
    }

    settings.addresses = given.addresses;
    if (given.input) {
        Result<QStringList> listed =
            *given.input == QLatin1String("-")
                ? readAddressList(context.standardInput, QStringLiteral("standard input"))
                : readAddressListFile(*given.input);
        if (!listed)
            return usage(QStringLiteral("--input: ") + listed.error());
        settings.addresses += listed.value();
    }
    if (Status checked = checkTogether(given, settings); !checked)
        return checked.failure();
    return command;
}

} // namespace snapvel::cli
