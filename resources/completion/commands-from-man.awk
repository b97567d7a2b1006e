# awk -f commands-from-man.awk tessaline-cli.1.scd tessaline-cli.bash.in
# Prints the bash completion: the template with its @COMMAND_TABLE@ line
# replaced by the table of commands read from the scdoc source of
# tessaline-cli(1), so that the manual is the one list of commands, options
# and keys. What it reads:
#   GLOBAL OPTIONS  a line starting with *--name* is a global option;
#   COMMANDS        a line starting with *tessaline-cli COMMAND [SUB]* is a
#                   synopsis: *--opt* is an option, and the _PLACEHOLDER_ or
#                   *a*|*b* after it in the same [...] its value; outside an
#                   option they are arguments; "..." repeats the last one;
#   PREFERENCES     a line that is only *key* names a preference key.
# Each command's options and arguments come out as one case of
# _tessaline_cli_spec: options as --name, --name=PLACEHOLDER or
# --name=a|b, arguments as PLACEHOLDER, PLACEHOLDER... or a|b.

function add_word(list, word) {
  return (index(" " list " ", " " word " ") ? list : (list == "" ? word : list " " word))
}

# *a*|*b* -> a|b; _P_... -> P...; anything else -> "".
function value_of(token,   t) {
  t = token
  if (t ~ /^\*[^-*][^*]*\*(\|\*[^*]+\*)*$/) { gsub(/\*/, "", t); return t }
  if (t ~ /^_[A-Z]+_(\.\.\.)?$/) { gsub(/_/, "", t); return t }
  return ""
}

FILENAME != ARGV[1] { template[++lines] = $0; next }

/^# / { section = substr($0, 3); next }

section == "GLOBAL OPTIONS" && /^\*--[a-z-]+\*/ {
  match($0, /^\*--[a-z-]+\*/)
  globals = add_word(globals, substr($0, 2, RLENGTH - 2))
  next
}

section == "PREFERENCES" && /^\*[A-Za-z]+\*$/ {
  keys = add_word(keys, substr($0, 2, length($0) - 2))
  next
}

section == "COMMANDS" && /^\*tessaline-cli [^*]+\*/ {
  match($0, /^\*tessaline-cli [^*]+\*/)
  path = substr($0, 16, RLENGTH - 16)
  rest = substr($0, RLENGTH + 1)
  n = split(path, words, " ")
  command = words[1]
  if (!(command in seen)) { seen[command] = 1; commands = add_word(commands, command) }
  if (n > 1) subcommands[command] = add_word(subcommands[command], words[2])
  if (!(path in opts)) { order[++paths] = path; opts[path] = "" }
  count = split(rest, tokens, " ")
  for (i = 1; i <= count; i++) {
    opens[i] = (tokens[i] ~ /^\[/)
    closes[i] = (tokens[i] ~ /\]$/)
    gsub(/[][]/, "", tokens[i])
  }
  positional = ""
  for (i = 1; i <= count; i++) {
    token = tokens[i]
    if (token ~ /^\*--[a-z-]+\*$/) {
      option = substr(token, 2, length(token) - 2)
      value = (i < count && !closes[i] && !opens[i + 1]) ? value_of(tokens[i + 1]) : ""
      if (value != "") { option = option "=" value; i++ }
      opts[path] = add_word(opts[path], option)
    } else if ((value = value_of(token)) != "") {
      positional = positional (positional == "" ? "" : " ") value
    }
  }
  # The first synopsis of a command names its arguments.
  if (!(path in args)) args[path] = positional
  next
}

END {
  for (l = 1; l <= lines; l++) {
    if (template[l] == "@COMMAND_TABLE@") print_table()
    else print template[l]
  }
}

function print_table(   c, i) {
  print "_tessaline_cli_globals='" globals "'"
  print "_tessaline_cli_commands='" commands "'"
  print "_tessaline_cli_keys='" keys "'"
  print "# Commands that take a subcommand, and their subcommands."
  print "_tessaline_cli_subcommands() {"
  print "  case $1 in"
  for (c in subcommands) print "    " c ") echo '" subcommands[c] "' ;;"
  print "    *) return 1 ;;"
  print "  esac"
  print "}"
  print "# Sets opts and args for a command (\"burn\", \"writer insert\")."
  print "_tessaline_cli_spec() {"
  print "  case $1 in"
  for (i = 1; i <= paths; i++)
    print "    '" order[i] "') opts='" opts[order[i]] "' args='" args[order[i]] "' ;;"
  print "    *) return 1 ;;"
  print "  esac"
  print "}"
}
