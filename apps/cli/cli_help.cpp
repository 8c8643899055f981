// The help texts of busprobe-cli, one entry per command.

#include <string>
#include <string_view>

#include "apps/cli/cli_command.h"

namespace {

struct help_entry {
    const char* topic;
    const char* usage;  // "Usage:" lines
    const char* body;   // what follows the usage in --help
};

const help_entry entries[] = {
    {"",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] COMMAND [ARGS...]\n"
     "       busprobe-cli decode [--hex] [--extended] [--time] [--binary] [HEX...]\n",
     "\n"
     "Watch and drive a LocoNet layout from a terminal, through an MS100 or a\n"
     "LocoBuffer (57600, 19200 or 115200 baud) on a serial port, a LocoNet-over-TCP\n"
     "server (tcp://HOST[:PORT]) or the built-in simulated layout (SIM).\n"
     "Each command opens the port, sends its requests to the command station,\n"
     "waits for the answers it needs and closes the port again.\n"
     "\n"
     "Commands:\n"
     "  decode [--hex] [--time] [--binary] [HEX...]\n"
     "                                print the monitor line of LocoNet bytes or\n"
     "                                of a capture file on standard input\n"
     "  monitor [--time] [--hex] [--extended] [--count N] [--log]\n"
     "                                print every bus message as it arrives\n"
     "  record FILE [--count N]       write every bus message to a capture file\n"
     "  replay FILE [--speed X] [--live]\n"
     "                                send the messages of a capture file\n"
     "  power on|off                  switch track power on or off\n"
     "  clock                         ask for the fast clock and print it\n"
     "  clock set HH:MM [--rate N] [--stop]\n"
     "                                set the fast clock\n"
     "  switch NUMBER closed|thrown [--off]\n"
     "                                set a turnout\n"
     "  throttle ADDRESS [--speed N] [--steps 28|128] [--fwd|--rev] [--f N=on|off]...\n"
     "           [--functions packet|opcodes] [--steal]\n"
     "                                drive a locomotive\n"
     "  stop ADDRESS|--all            emergency stop of a locomotive, or of every one\n"
     "  cv read CV [--mode MODE] [--address A]\n"
     "                                read a decoder CV\n"
     "  cv write CV VALUE [--mode MODE] [--address A] [--feedback]\n"
     "                                write a decoder CV\n"
     "  address write CV17 CV18 [--mode paged|direct]\n"
     "                                write a long address into CV 17 and CV 18\n"
     "  serve [--listen ADDR:PORT] [--log]\n"
     "                                share the port with LocoNet-over-TCP clients\n"
     "  slots [--read] [--all]        print the command station's loco slots\n"
     "  slots --release N | --dispatch N\n"
     "                                release or dispatch a loco slot\n"
     "  send HEX...                   send one message typed in hex\n"
     "  devices [--article N]... [--wait SECONDS]\n"
     "                                list the SV2 and LNCV devices that answer\n"
     "  sv read|write|change-address|reconfigure ...\n"
     "                                read and write an SV2 device's SVs\n"
     "  lncv read|write ...           read and write an LNCV module's LNCVs\n"
     "  opsw read|write ...           the command station's or a board's option\n"
     "                                switches\n"
     "\n"
     "Options:\n"
     "  -p, --port PORT      COM1 to COM4 (/dev/ttyS0 to /dev/ttyS3), SIM (the\n"
     "                       built-in simulated layout), a device path such as\n"
     "                       /dev/ttyACM0 or /dev/serial/by-id/..., or a\n"
     "                       LocoNet-over-TCP server tcp://HOST[:PORT] (port 1234\n"
     "                       by default, IPv6 in brackets); default: COMMPORT in\n"
     "                       the window's settings file, busprobe.ini in the\n"
     "                       folder of the programs (~/.config/busprobe/busprobe.ini\n"
     "                       when that folder is not writable and holds none);\n"
     "                       without a stored port, -p must be given\n"
     "      --adapter KIND   ms100 (16457 baud), locobuffer (57600 baud, RTS/CTS),\n"
     "                       locobuffer-19200, locobuffer-115200, or auto: by the\n"
     "                       port, COMn and /dev/ttyS* ms100, /dev/ttyACM*,\n"
     "                       /dev/ttyUSB* and /dev/serial/by-id/* locobuffer;\n"
     "                       default: ADAPTER in the settings file for its\n"
     "                       COMMPORT, else auto\n"
     "      --timeout SECONDS  stop waiting for the bus after SECONDS (default 60,\n"
     "                       0 for no limit)\n"
     "      --log-dir DIR    the folder of the dated log (yyyymmdd.log: --log lines\n"
     "                       and link failures), made when missing; default: the\n"
     "                       current folder\n"
     "  -h, --help           show this help; COMMAND --help shows a command's help\n"
     "      --version        show the version\n"
     "\n"
     "Exit status: 0 success, 1 the operation failed (the failure report is on\n"
     "standard error) or its output could not be written, 2 usage error, 3\n"
     "cancelled by --timeout or Ctrl-C.\n"},
    {"monitor",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] monitor [--time] [--hex] [--extended] [--count N] [--log]\n",
     "\n"
     "Print every LocoNet message seen on the bus as one line of text, as it\n"
     "arrives, until N lines were printed, the time-out ran out or Ctrl-C.\n"
     "With --timeout 0 the monitor runs until Ctrl-C or --count.\n"
     "\n"
     "  --time      put the local time of arrival before each line\n"
     "  --hex       put the message's bytes before each line\n"
     "  --extended  decode every message: a line also for those the monitor\n"
     "              leaves blank (the dated log keeps the monitor's lines)\n"
     "  --count N   stop after N lines; exit status 3 if the time-out or Ctrl-C\n"
     "              came first\n"
     "  --log       also append each line to the dated log (yyyymmdd.log in the\n"
     "              current folder, or in --log-dir DIR)\n"
     "\n"
     "While the output is not read, the newest 10000 lines are kept and the\n"
     "older ones dropped; \"\u2026 N lines not shown\" marks the gap. When the reader\n"
     "goes away (monitor | head) the monitor ends with status 0.\n"},
    {"record",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] record FILE [--count N]\n",
     "\n"
     "Write every LocoNet message seen on the bus to the capture file FILE, one\n"
     "line each with its receive time, until N messages were written, the\n"
     "time-out ran out or Ctrl-C. FILE is created or overwritten. A line:\n"
     "  (1733500000.123456) B0 0A 30 75\n"
     "the receive time in seconds and microseconds since 1970-01-01 UTC, then\n"
     "the message's bytes in hexadecimal; lines starting with # are comments.\n"
     "\n"
     "  --count N   stop after N messages; exit status 3 if the time-out or\n"
     "              Ctrl-C came first\n"
     "\n"
     "Exit status 1 when the file cannot be written or messages were lost\n"
     "because it was written too slowly (a comment line marks the gap).\n"},
    {"replay",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] replay FILE [--speed X] [--live]\n",
     "\n"
     "Send the messages of the capture file FILE onto the bus, with the gaps\n"
     "between them as recorded, divided by X. Replayed throttle and switch\n"
     "messages move real trains and turnouts: onto any port but SIM the\n"
     "command needs --live, and without it sends nothing and exits with status 2.\n"
     "Damaged lines (bad hex, a bad checksum, no time stamp) are reported with\n"
     "their line numbers and skipped; the exit status is then 1.\n"
     "\n"
     "  --speed X   play X times as fast (0.01 to 1000, default 1)\n"
     "  --live      allow sending onto a real port\n"},
    {"power",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] power on|off\n",
     "\n"
     "Switch track power on (OPC_GPON) or off (OPC_GPOFF).\n"},
    {"clock",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] clock\n",
     "\n"
     "Ask the command station for the fast-clock slot (slot 123) and print the\n"
     "monitor line of its answer: rate, days, hours, minutes.\n"},
    {"clock set",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] clock set HH:MM [--rate N] [--stop]\n",
     "\n"
     "Write the fast-clock slot (slot 123): the time of day HH:MM (00:00 to\n"
     "23:59), the rate and whether the clock runs. The slot is read first, so\n"
     "the day count and, without --rate, the rate stay as they are (a stopped\n"
     "clock starts at rate 1). Prints the monitor line of the slot read back.\n"
     "\n"
     "The counter of the minute is written with about a minute to go, as\n"
     "command stations count from a write. Exits 1 when the command station\n"
     "refuses the write, or the clock read back does not show it.\n"
     "\n"
     "  --rate N   fast minutes per real minute, 1 to 127\n"
     "  --stop     hold the clock at HH:MM (written as rate 0; no --rate)\n"},
    {"switch",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] switch NUMBER closed|thrown [--off]\n",
     "\n"
     "Set turnout NUMBER (1 to 2048) closed or thrown (OPC_SW_ACK) and wait for\n"
     "the command station's acknowledge. Exit status 1 when it refuses the\n"
     "request (its switch FIFO is full; its answer is shown), 3 when no answer\n"
     "came within --timeout.\n"
     "\n"
     "  --off   send the position with the output switched off\n"},
    {"throttle",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] throttle ADDRESS [--speed N] [--steps 28|128]\n"
     "                    [--fwd|--rev] [--f N=on|off]... [--functions packet|opcodes] [--steal]\n"
     "                    [--slots classic|expanded|auto]\n",
     "\n"
     "Read the slot of the locomotive ADDRESS (1 to 10239), take it into use\n"
     "(its speed, direction, functions and speed steps stay as they are) and\n"
     "change only what the options say. Without options, print the\n"
     "locomotive's slot as read, and change nothing. A locomotive that another\n"
     "throttle holds is refused (exit status 1) unless --steal is given.\n"
     "\n"
     "  --speed N       speed, 0 or 2 to 127 with 128 steps (1 is the emergency\n"
     "                  stop on the wire: see 'stop'), 0 to 28 with 28 steps\n"
     "  --steps 28|128  speed steps for --speed; the slot's mode is rewritten\n"
     "                  only when it differs (default: the slot's mode, N on\n"
     "                  the 0 to 127 scale)\n"
     "  --fwd, --rev    direction; the current one is kept if not given\n"
     "  --f N=on|off    function F0 to F28 on or off; may be repeated. The\n"
     "                  functions of one group go out in one message\n"
     "  --functions packet|opcodes\n"
     "                  how F9 to F28 go out: packet as DCC packets in\n"
     "                  OPC_IMM_PACKET, for command stations with immediate-packet\n"
     "                  support; opcodes as the slot messages A3 / D4. Default:\n"
     "                  FUNCSEND of the settings file, else packet\n"
     "  --steal         take the locomotive even when another throttle holds it\n"
     "  --slots classic|expanded|auto\n"
     "                  drive through the classic slot messages (BF, BA, A0-A2)\n"
     "                  or the expanded ones (BE, D4, D5: F0 to F28 kept in the\n"
     "                  slot); auto uses the expanded ones when the command\n"
     "                  station offers them (TRK bit 6 in the slot it answers).\n"
     "                  Default: SLOTS of the settings file, else auto\n"
     "\n"
     "F0 to F8 live in the command station's slot. F9 to F28 do not, and travel\n"
     "in groups (F9-F12, F13-F20, F21-F28 as packets; F9-F12, F13-F19, F21-F27\n"
     "and F12/F20/F28 as opcodes): the functions of a group sent that this\n"
     "command does not name go out off.\n"},
    {"stop",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] stop ADDRESS|--all\n",
     "\n"
     "Emergency stop. With ADDRESS, speed 1 (the emergency stop) to the\n"
     "locomotive's slot; when the command station does not name its slot\n"
     "within 2 s, every locomotive is stopped instead (OPC_IDLE) and the exit\n"
     "status is 1. With --all, every locomotive on the layout (OPC_IDLE).\n"
     "The stop goes out ahead of anything else queued.\n"},
    {"cv",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] cv read CV [--mode MODE] [--address A]\n"
     "       busprobe-cli [-p PORT] [--timeout SECONDS] cv write CV VALUE [--mode MODE] [--address A] [--feedback]\n",
     "\n"
     "Read or write a decoder configuration variable. See 'busprobe-cli cv read\n"
     "--help' and 'busprobe-cli cv write --help'.\n"},
    {"cv read",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] cv read CV [--mode MODE] [--address A]\n",
     "\n"
     "Read CV (1 to 1024) through the command station's programmer and print\n"
     "  CV <cv> = <decimal> (0x<hex>, <bits, bit 7 first>)\n"
     "When the decoder does not acknowledge, print \"CV <cv>: no acknowledge\n"
     "from the decoder\" on standard error and exit with status 1.\n"
     "\n"
     "  --mode MODE   paged (default), direct, register (CV is register 1 to 8),\n"
     "                ops (main line), direct-bits or ops-bits (assembled from\n"
     "                eight bit verifications)\n"
     "  --address A   the locomotive (1 to 10239) in the modes ops and ops-bits\n"},
    {"cv write",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] cv write CV VALUE [--mode MODE] [--address A] [--feedback]\n",
     "\n"
     "Write VALUE (0 to 255, decimal or 0x hexadecimal) into CV (1 to 1024).\n"
     "\n"
     "  --mode MODE   paged (default), direct, register (CV is register 1 to 8)\n"
     "                or ops (main line)\n"
     "  --address A   the locomotive (1 to 10239) in the mode ops\n"
     "  --feedback    in the mode ops, wait for the decoder's acknowledge\n"},
    {"address",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] address write CV17 CV18 [--mode paged|direct]\n",
     "\n"
     "Write the two bytes of a long locomotive address into CV 17 and CV 18\n"
     "(each 0 to 255) on the programming track. In the mode direct bit 5 of\n"
     "CV 29 is set first, which makes the decoder use the long address.\n"
     "\n"
     "  --mode paged|direct   programming mode (default paged)\n"},
    {"serve",
     "Usage: busprobe-cli [-p PORT] [--adapter KIND] serve [--listen ADDR:PORT] [--log]\n",
     "\n"
     "Share the port (a serial adapter or SIM) with LocoNet-over-TCP clients,\n"
     "at least 32 at once: each gets every bus message as RECEIVE, and its SEND\n"
     "lines go onto the bus (SENT OK once the echo came back). Prints one line\n"
     "per client connect and disconnect, and runs until Ctrl-C or SIGTERM (the\n"
     "time-out does not apply), then closes every connection and exits 0; 1 when\n"
     "the port is lost or the address cannot be listened on.\n"
     "\n"
     "  --listen ADDR:PORT   where to listen (default 127.0.0.1:1234, this machine\n"
     "                       only). Anyone who can reach another address can\n"
     "                       drive your trains: name one only on a network you\n"
     "                       trust, e.g. --listen 0.0.0.0:1234. PORT alone keeps\n"
     "                       127.0.0.1.\n"
     "  --log                also print every bus message as a monitor line\n"},
    {"slots",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] slots [--read] [--all] [--slots classic|expanded|auto]\n"
     "       busprobe-cli [-p PORT] [--timeout SECONDS] slots --release N | --dispatch N\n",
     "\n"
     "Print one line per loco slot in use, the slot number and the loco address\n"
     "first:\n"
     "    5  loco 1234  in use  128 steps  speed 40  fwd  F0-F8 100000000\n"
     "then the speed steps, speed, direction and F0 to F8 (F0 first).\n"
     "Without --read, listen to the bus for 5 seconds (less when the time-out or\n"
     "Ctrl-C comes first) and print the slots whose data it showed, as other\n"
     "throttles' reads and the command station's answers carry them.\n"
     "\n"
     "  --read   ask the command station for every loco slot (1 to 119), one\n"
     "           request at a time so other traffic still flows; a slot that\n"
     "           does not answer within 0.25 s is asked once more, then passed\n"
     "           over; a slot the command station refuses is passed over at\n"
     "           once. \"N of 119 slots answered\" goes to standard error. A\n"
     "           read stopped early (time-out, Ctrl-C, a refusal) still prints\n"
     "           the slots read and how far it came; when the first 3 slots\n"
     "           get no answer at all it stops: no command station answers\n"
     "           (exit 1). A command station offering expanded slots (TRK\n"
     "           bit 6) is then asked again for slots 1 to 120 as expanded\n"
     "           slots (F0 to F28 from the slot: F0-F28 and 29 digits in the\n"
     "           line), and for its other loco slots (128 to 432) until one\n"
     "           is not answered; \"expanded slots: N of M answered\" follows\n"
     "  --slots classic|expanded|auto\n"
     "           with --read: classic never asks for expanded slots, expanded\n"
     "           always; auto (the default, or SLOTS of the settings file)\n"
     "           when the command station offers them\n"
     "  --all    print every slot seen or read, free, common and idle too\n"
     "  --release N   set loco slot N (1 to 119) common (OPC_SLOT_STAT1); an\n"
     "                expanded slot (128 to 432) by D4\n"
     "  --dispatch N  set loco slot N common, then move it to slot 0 for the\n"
     "                next throttle that asks; exits 1 when the command\n"
     "                station refuses or does not answer (the slot's status is\n"
     "                then put back)\n"},
    {"send",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] send HEX...\n",
     "\n"
     "Send one LocoNet message given as hex bytes (00 to FF, either case, one or\n"
     "more words: send B0 0B 30 or send \"B0 0B 30 74\"). The opcode gives the\n"
     "length: 2, 4 or 6 bytes, or byte 1 for opcodes E0 to FF. Bytes one short\n"
     "of that length get their checksum added; a whole message must carry the\n"
     "right checksum. A message that is not one (no opcode first, a data byte\n"
     "80 or above, the wrong length or checksum) is refused with exit status 2\n"
     "and nothing is sent. Exit status 0 once the message has gone out.\n"},
    {"devices",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] devices [--article N]... [--wait SECONDS]\n",
     "\n"
     "Ask the devices on the bus who they are: the SV2 discover (to every SV2\n"
     "device) and the LNCV discover for every article and for each --article N\n"
     "(the product number without its last digit, 0 to 65534). Listens for the\n"
     "answers for --wait seconds (default 2) and prints one line per device:\n"
     "    sv2 3 manufacturer 13 developer 1 product 4660 serial 22136\n"
     "    lncv 1 article 6861\n"
     "the protocol, the address (SV2 destination, LNCV module address), then the\n"
     "identity. Each LNCV module that answered is sent the end of programming,\n"
     "so none stays in programming mode. No answer at all: nothing on standard\n"
     "output, a note on standard error, exit 0.\n"},
    {"sv",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] sv read DEST SV [COUNT]\n"
     "       busprobe-cli [-p PORT] [--timeout SECONDS] sv write DEST SV VALUE [VALUE VALUE VALUE] [--all]\n"
     "       busprobe-cli [-p PORT] [--timeout SECONDS] sv change-address SERIAL NEW_DEST [--product P]\n"
     "       busprobe-cli [-p PORT] [--timeout SECONDS] sv reconfigure DEST [--all]\n",
     "\n"
     "SV programming (format 2) of the device at destination DEST (1 to 65535).\n"
     "  read      COUNT SVs (default 1, up to 256) from SV, four at a time where\n"
     "            the device offers it; one line each: \"SV 10 = 133\"\n"
     "  write     VALUE (0 to 255) into SV (four values: SV to SV+3 in one\n"
     "            message), then read back: a device that shows\n"
     "            another value or does not answer fails (exit 1, the device,\n"
     "            the SV and what came back named). DEST 0 writes every device\n"
     "            and needs --all; each device that answers the read back must\n"
     "            show the value\n"
     "  change-address\n"
     "            the device with serial SERIAL (found by a discover; give\n"
     "            --product when two share the serial) takes NEW_DEST; checked\n"
     "            by asking who is at NEW_DEST\n"
     "  reconfigure  the device restarts with what was written (DEST 0: every\n"
     "            device, needs --all)\n"
     "A refusal from the device (not implemented, write failed) fails (exit 1).\n"},
    {"lncv",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] lncv read ARTICLE MODULE LNCV [COUNT]\n"
     "       busprobe-cli [-p PORT] [--timeout SECONDS] lncv write ARTICLE MODULE LNCV VALUE [--all]\n",
     "\n"
     "LNCV programming of module MODULE (its address) of article ARTICLE (the\n"
     "product number without its last digit). Each command is one programming\n"
     "session: start, the reads or the write, end. The end is sent also when\n"
     "the module refuses, does not answer, answers for another article, or the\n"
     "time-out or Ctrl-C cancels, so no module stays in programming mode.\n"
     "  read   COUNT LNCVs (default 1, up to 256) from LNCV; one line each:\n"
     "         \"LNCV 1 = 2\"\n"
     "  write  VALUE (0 to 65535), acknowledged by the module, then read back:\n"
     "         a refusal (read-only, out of range, not supported), another\n"
     "         value or no answer fails (exit 1). MODULE 65535 is every module\n"
     "         of the article and needs --all\n"},
    {"opsw",
     "Usage: busprobe-cli [-p PORT] [--timeout SECONDS] opsw read [N...]\n"
     "       busprobe-cli [-p PORT] [--timeout SECONDS] opsw write N closed|thrown --yes\n"
     "       busprobe-cli [-p PORT] [--timeout SECONDS] opsw read --board TYPE ADDRESS N\n"
     "       busprobe-cli [-p PORT] [--timeout SECONDS] opsw write --board TYPE ADDRESS N closed|thrown\n",
     "\n"
     "The command station's option switches (OpSw 1 to 64 in slot 127; 65 to\n"
     "128 in slot 126 where the station offers expanded slots), one line each:\n"
     "\"OpSw 5 closed\". read without N prints 1 to 64 (and 65 to 128 when\n"
     "offered). OpSw 8, 16 ... 128 are no switches: always thrown, never\n"
     "written. write reads the switches, changes N, writes them back and reads\n"
     "them again; it needs --yes: some switches clear every slot of the command\n"
     "station or change its role on the bus.\n"
     "With --board: OpSw N (1 to 64) of board ADDRESS (1 to 256) of TYPE\n"
     "power-manager, detector, signal or decoder (or 0 to 7); each request is\n"
     "waited for 0.5 s and sent again twice; a write is read back.\n"},
};

const help_entry& entry_for(const std::string& topic) {
    std::string t = topic == "address write" ? "address" : topic;
    // "sv read", "lncv write", ...: the group's entry.
    for (const char* group : {"sv ", "lncv ", "opsw "})
        if (t.rfind(group, 0) == 0) t = t.substr(0, std::string_view(group).size() - 1);
    for (const help_entry& e : entries)
        if (t == e.topic) return e;
    return entries[0];
}

}  // namespace

bool cli_is_help_topic(const std::string& topic) {
    // decode prints its own help.
    if (topic == "address write" || topic == "decode") return true;
    for (const char* sub : {"sv read", "sv write", "sv change-address", "sv reconfigure", "lncv read", "lncv write",
                            "opsw read", "opsw write"})
        if (topic == sub) return true;
    for (const help_entry& e : entries)
        if (topic == e.topic) return true;
    return false;
}

std::string cli_usage_text(const std::string& topic) { return entry_for(topic).usage; }

std::string cli_help_text(const std::string& topic) {
    const help_entry& e = entry_for(topic);
    return std::string(e.usage) + e.body;
}
