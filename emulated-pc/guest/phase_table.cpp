// SPDX-License-Identifier: LGPL-2.1-or-later
#include "phase_table.h"

#include <algorithm>
#include <sstream>
#include <utility>

namespace guest {
namespace {

template <typename Value> struct Named {
    const char *name;
    Value value;
};

constexpr Named<Preparation> preparations[] = {
    {"none", Preparation::none},
    {"parallel-port", Preparation::parallel_port},
    {"locked-down-parallel-port", Preparation::locked_down_parallel_port},
    {"capable-quorrel", Preparation::capable_quorrel},
};

constexpr Named<RunAs> identities[] = {
    {"root", RunAs::root},
    {"nobody", RunAs::nobody},
    {"nobody+lp", RunAs::nobody_in_lp},
    {"nobody+rawio", RunAs::nobody_with_rawio},
};

template <typename Value, std::size_t count>
bool look_up(const Named<Value> (&names)[count], const std::string &word, Value &value)
{
    for (const Named<Value> &entry : names) {
        if (word == entry.name) {
            value = entry.value;
            return true;
        }
    }
    return false;
}

bool is_preparation(const std::string &value)
{
    Preparation preparation{};
    return look_up(preparations, value, preparation);
}

// "-" or whole bytes in lower-case hex, as boot compares them with od's.
bool is_debug_console_bytes(const std::string &value)
{
    if (value == "-")
        return true;
    return !value.empty() && value.size() % 2 == 0 &&
           std::all_of(value.begin(), value.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A file name in /tests, the build tree or the work directory: no path,
// nothing the console line or a shell word could confuse.
bool is_file_name(const std::string &word)
{
    return !word.empty() && word != "." && word != ".." &&
           std::all_of(word.begin(), word.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-' || c == '.';
           });
}

// A phase's name goes on the kernel command line and into CTest's test name.
bool is_phase_name(const std::string &word)
{
    return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

// Whole mebibytes or gibibytes, as QEMU's -m takes them.
bool is_memory_size(const std::string &value)
{
    return value.size() >= 2 && value[0] >= '1' && value[0] <= '9' &&
           (value.back() == 'M' || value.back() == 'G') &&
           std::all_of(value.begin(), value.end() - 1, [](char c) { return c >= '0' && c <= '9'; });
}

bool is_parallel_port(const std::string &value) { return value == "null" || value == "file"; }

bool is_yes_or_no(const std::string &value) { return value == "yes" || value == "no"; }

std::vector<std::string> words_of(const std::string &text)
{
    std::istringstream stream(text);
    std::vector<std::string> words;
    for (std::string word; stream >> word;)
        words.push_back(word);
    return words;
}

// A program beside boot, then files of the work directory; "" for none.
bool is_checker(const std::string &value)
{
    const std::vector<std::string> words = words_of(value);
    return std::all_of(words.begin(), words.end(), is_file_name);
}

struct Key {
    const char *name;
    const char *default_value; // nullptr: the key is required
    bool (*valid)(const std::string &);
    const char *form;
};

constexpr Key keys[] = {
    {"image", nullptr, is_file_name, "a file name"},
    {"preparation", nullptr, is_preparation,
     "none, parallel-port, locked-down-parallel-port or capable-quorrel"},
    {"debugcon_457a", nullptr, is_debug_console_bytes, "lower-case hex bytes or -"},
    {"debugcon_ffff", nullptr, is_debug_console_bytes, "lower-case hex bytes or -"},
    {"memory", "256M", is_memory_size, "a size in M or G, such as 256M"},
    {"parallel_port", "null", is_parallel_port, "null or file"},
    {"trace", "no", is_yes_or_no, "yes or no"},
    {"checker", "", is_checker, "a program, then file names"},
    {"suite", "yes", is_yes_or_no, "yes or no"},
    {"export", "no", is_yes_or_no, "yes or no"},
};

std::string key_names()
{
    std::string names;
    for (const Key &key : keys)
        names += std::string(key.name) + ", ";
    return names + "run";
}

const Key *find_key(const std::string &name)
{
    const auto found = std::find_if(std::begin(keys), std::end(keys),
                                    [&](const Key &key) { return name == key.name; });
    return found == std::end(keys) ? nullptr : found;
}

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Words joined by one space, as the host's scripts see them.
std::string joined(const std::vector<std::string> &words, std::size_t from)
{
    std::string text;
    for (std::size_t index = from; index < words.size(); ++index)
        text += (text.empty() ? "" : " ") + words[index];
    return text;
}

// "" when value is a run phase can add, else why not.
std::string add_run(BootPhase &phase, const std::string &value)
{
    const std::vector<std::string> words = words_of(value);
    if (words.size() < 3)
        return "a run is: run = PROGRAM AS QPORT_GUEST_PHASE [NOTE...]";
    ProgramRun run;
    run.program = words[0];
    run.as_name = words[1];
    run.expectation = words[2];
    if (!is_file_name(run.program) || run.program.starts_with('.'))
        return "'" + run.program + "' is not a program's file name";
    if (!look_up(identities, run.as_name, run.as))
        return "unknown identity '" + run.as_name + "'";
    const std::string note = joined(words, 3);
    run.label = note.empty() ? run.program : run.program + " (" + note + ")";
    for (const ProgramRun &other : phase.runs) {
        if (other.label == run.label)
            return "two runs in phase " + phase.name + " named '" + run.label +
                   "': the console could not tell them apart";
    }
    phase.runs.push_back(std::move(run));
    return "";
}

// "" when key = value fits phase, else why not.
std::string set_key(BootPhase &phase, const std::string &name, const std::string &value)
{
    if (name == "run")
        return add_run(phase, value);
    const Key *key = find_key(name);
    if (key == nullptr)
        return "unknown key '" + name + "' (" + key_names() + ")";
    if (phase.settings.contains(name))
        return name + " is given twice in phase " + phase.name;
    if (!key->valid(value))
        return name + " = " + value + ": it takes " + key->form;
    if (name == "preparation")
        look_up(preparations, value, phase.preparation);
    phase.settings.emplace(name, value);
    return "";
}

// "" when the stanza is whole (its defaults filled in), else why not.
std::string complete(BootPhase &phase)
{
    for (const Key &key : keys) {
        if (phase.settings.contains(key.name))
            continue;
        if (key.default_value == nullptr)
            return "phase " + phase.name + " has no " + key.name;
        phase.settings.emplace(key.name, key.default_value);
    }
    if (phase.runs.empty())
        return "phase " + phase.name + " runs no program";
    return "";
}

} // namespace

PhaseTable read_phase_table(std::istream &text)
{
    PhaseTable table;
    int stanza_line = 0;
    const auto stop = [&table](int number, const std::string &problem) {
        table.problem = "line " + std::to_string(number) + ": " + problem;
        return table;
    };
    std::string line;
    for (int number = 1; std::getline(text, line); ++number) {
        line = trimmed(line);
        if (line.empty() || line.starts_with('#'))
            continue;
        if (line.starts_with('[')) {
            if (!line.ends_with(']'))
                return stop(number, "a phase starts with [NAME]");
            const std::string name = line.substr(1, line.size() - 2);
            if (!is_phase_name(name))
                return stop(number, "'" + name + "' is not a phase name (a-z, 0-9, _ and -)");
            if (find_phase(table, name) != nullptr)
                return stop(number, "phase " + name + " is declared twice");
            if (!table.phases.empty()) {
                if (std::string problem = complete(table.phases.back()); !problem.empty())
                    return stop(stanza_line, problem);
            }
            BootPhase phase;
            phase.name = name;
            table.phases.push_back(std::move(phase));
            stanza_line = number;
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            return stop(number, "'" + line + "' is neither [NAME] nor KEY = VALUE");
        const std::string name = trimmed(line.substr(0, equals));
        if (table.phases.empty())
            return stop(number, name + " before any [NAME]");
        if (std::string problem =
                set_key(table.phases.back(), name, joined(words_of(line.substr(equals + 1)), 0));
            !problem.empty())
            return stop(number, problem);
    }
    if (table.phases.empty()) {
        table.problem = "no phase";
        return table;
    }
    if (std::string problem = complete(table.phases.back()); !problem.empty())
        return stop(stanza_line, problem);
    return table;
}

const BootPhase *find_phase(const PhaseTable &table, const std::string &name)
{
    const auto found = std::find_if(table.phases.begin(), table.phases.end(),
                                    [&](const BootPhase &phase) { return phase.name == name; });
    return found == table.phases.end() ? nullptr : &*found;
}

} // namespace guest
