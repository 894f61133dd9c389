#include "CommandLine.h"

#include <algorithm>
#include <regex>

namespace {

const char* const UsageHead =
    "Использование: clbtool [ПАРАМЕТРЫ] КОМАНДА [АРГУМЕНТЫ]\n"
    "Параметры (значение можно дать и через \"=\": --port=/dev/ttyUSB0):\n";

const char* const UsageFoot =
    "Код завершения: 0 - успех, 1 - не удалась операция с прибором,\n"
    "2 - ошибка в командной строке или в файле, 130 и 143 - опрос прерван\n"
    "сигналом SIGINT или SIGTERM.\n"
    "Руководство пользователя: /usr/share/doc/clbtool/manual/index.html\n";

OptionRule Flag(std::string name, std::string alias, bool Options::*field, std::string help)
{
    return {std::move(name), std::move(alias), false, [field](Options& o, const std::string&) { o.*field = true; },
            std::move(help), {}};
}

OptionRule Valued(std::string name, std::function<void(Options&, const std::string&)> apply, std::string help)
{
    return {std::move(name), {}, true, std::move(apply), std::move(help), {}};
}

// The options a word may be, for the command at hand: its own first.
std::vector<const OptionRule*> OptionsOf(const Command* command)
{
    std::vector<const OptionRule*> rules;
    if (command)
        for (const OptionRule& s : command->own) rules.push_back(&s);
    for (const OptionRule& s : SharedOptions()) {
        const bool taken = command ? std::find(command->shared.begin(), command->shared.end(), s.name) !=
                                         command->shared.end()
                                   : true;
        const bool replaced = std::any_of(rules.begin(), rules.end(), [&](const OptionRule* o) { return o->name == s.name; });
        if (taken && !replaced) rules.push_back(&s);
    }
    return rules;
}

const OptionRule* Find(const std::vector<const OptionRule*>& rules, const std::string& word)
{
    for (const OptionRule* s : rules)
        if (s->name == word || (!s->alias.empty() && s->alias == word)) return s;
    return nullptr;
}

} // namespace

const std::vector<OptionRule>& SharedOptions()
{
    static const std::vector<OptionRule> options = {
        Valued("--port", [](Options& o, const std::string& v) { o.port = v; },
               "  --port ПОРТ\n"
               "      устройство (/dev/ttyUSB0) или COM1..COM16 (устройство берётся из\n"
               "      файла настроек); без --port - порт из файла настроек\n"),
        Valued("--baud",
               [](Options& o, const std::string& v) {
                   if (v != "9600" && v != "19200") throw UsageError{"--baud: скорость 9600 или 19200"};
                   o.baud = static_cast<std::uint32_t>(std::stoul(v));
               },
               "  --baud 9600|19200\n"
               "      скорость порта\n"),
        Valued("--clb", [](Options& o, const std::string& v) { o.clb = v; },
               "  --clb ФАЙЛ\n"
               "      приборы из файла конфигурации (.clb)\n"),
        Valued("--slot", [](Options& o, const std::string& v) { o.slots.push_back(v); },
               "  --slot ПРИБОР\n"
               "      ТИП:АДРЕС[:КАНАЛ][@СЕРИЙНЫЙ_НОМЕР], например 1:1:2 или\n"
               "      14:1:1@44412345; не больше двух (список типов: clbtool types)\n"),
        Valued("--timeouts",
               [](Options& o, const std::string& v) {
                   static const std::regex re(R"((\d{1,5}),(\d{1,5}),(\d{1,3}))");
                   std::smatch m;
                   if (!std::regex_match(v, m, re))
                       throw UsageError{"--timeouts: нужны БАЙТ,ПАКЕТ,ПОВТОРЫ (мс, мс, число), например 100,300,3"};
                   o.timeouts = TimeoutProfile{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3])};
               },
               "  --timeouts Б,П,Н\n"
               "      тайм-ауты байта и пакета в мс и число повторов, например 100,300,3\n"),
        Flag("--json", {}, &Options::json,
             "  --json\n"
             "      результат одним объектом JSON на стандартный вывод\n"),
        Valued("--trace", [](Options& o, const std::string& v) { o.trace = v; },
               "  --trace ФАЙЛ\n"
               "      журнал обмена: каждый кадр в обе стороны и исход каждого обмена\n"
               "      (по умолчанию [Settings] Trace из файла настроек)\n"),
        Valued("--trace-format",
               [](Options& o, const std::string& v) {
                   o.traceFormat = v;
                   if (v != "text" && v != "jsonl") throw UsageError{"--trace-format: text или jsonl"};
               },
               "  --trace-format text|jsonl\n"
               "      журнал строками для чтения (text) или строками JSON (jsonl)\n"),
        Flag("--help", "-h", &Options::help,
             "  -h, --help\n"
             "      эта справка\n"),
        Flag("--version", {}, &Options::version,
             "  --version\n"
             "      версия программы\n"),
    };
    return options;
}

std::vector<std::string> MeterOptions()
{
    std::vector<std::string> names;
    for (const OptionRule& s : SharedOptions()) names.push_back(s.name);
    return names;
}

const Command* FindCommand(const std::string& name)
{
    for (const Command& c : CommandTable())
        if (c.name == name) return &c;
    return nullptr;
}

std::string CommandWord(const std::vector<std::string>& args)
{
    std::vector<const OptionRule*> valued;
    for (const OptionRule& s : SharedOptions())
        if (s.takesValue) valued.push_back(&s);
    for (const Command& c : CommandTable())
        for (const OptionRule& s : c.own)
            if (s.takesValue) valued.push_back(&s);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("-", 0) != 0) return a;
        if (a.find('=') == std::string::npos && Find(valued, a)) ++i;
    }
    return {};
}

Options ParseCommandLine(const std::vector<std::string>& given)
{
    const std::string word = CommandWord(given);
    const Command* command = FindCommand(word);
    const std::vector<const OptionRule*> rules = OptionsOf(command);
    try {
        // "--name=value" as "--name" "value", for the options that take a value.
        std::vector<std::string> args;
        for (const std::string& a : given) {
            const std::size_t eq = a.find('=');
            const OptionRule* s = a.rfind("--", 0) == 0 && eq != std::string::npos ? Find(rules, a.substr(0, eq)) : nullptr;
            if (s && s->takesValue) {
                args.push_back(a.substr(0, eq));
                args.push_back(a.substr(eq + 1));
            } else {
                args.push_back(a);
            }
        }
        Options o;
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            const OptionRule* s = Find(rules, a);
            const bool own = s && command && s >= command->own.data() && s < command->own.data() + command->own.size();
            if (own && o.command.empty() && !command->ownOptionsAnywhere) s = nullptr;
            if (s) {
                std::string value;
                if (s->takesValue) {
                    if (i + 1 >= args.size())
                        throw UsageError{s->missingValue.empty() ? a + ": не указано значение" : s->missingValue};
                    value = args[++i];
                }
                if (s->apply) s->apply(o, value);
                else o.own[s->name].push_back(value);
            } else if (!a.empty() && a[0] == '-' && o.command.empty()) {
                throw UsageError{command && command->unknownOption ? command->unknownOption(a)
                                                                   : "неизвестный параметр " + a};
            } else if (o.command.empty()) {
                o.command = a;
            } else {
                o.args.push_back(a);
            }
        }
        if (o.help || o.version) return o;
        if (o.command.empty()) throw UsageError{"не указана команда"};
        if (o.clb && !o.slots.empty()) throw UsageError{"укажите либо --clb, либо --slot, но не оба"};
        if (o.slots.size() > 2) throw UsageError{"не больше двух приборов (--slot)"};
        if (!command) throw UsageError{"неизвестная команда " + o.command};
        if (command->check) command->check(o);
        return o;
    } catch (const UsageError& e) {
        if (command && !command->usageText.empty()) throw UsageError{command->usageText};
        throw;
    }
}

std::string UsageText()
{
    std::string text = UsageHead;
    for (const OptionRule& s : SharedOptions()) text += s.help;
    text += "Команды:\n";
    for (const Command& c : CommandTable()) text += c.help;
    return text + UsageFoot;
}

void ParseSlotAndFile(Options& o, bool fileOptional)
{
    std::vector<std::string> plain;
    for (const std::string& a : o.args) {
        if (!a.empty() && a[0] == '-') throw UsageError{"у команды " + o.command + " нет параметра " + a};
        plain.push_back(a);
    }
    if ((fileOptional ? plain.empty() || plain.size() > 2 : plain.size() != 2) || (plain[0] != "1" && plain[0] != "2"))
        throw UsageError{"команде " + o.command + " нужны номер слота (1 или 2) и " +
                         (fileOptional ? "необязательный файл" : "файл")};
    o.slot = plain[0][0] - '0';
    if (plain.size() == 2) o.file = plain[1];
}
