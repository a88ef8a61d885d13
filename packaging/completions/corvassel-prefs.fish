# fish completion for corvassel-prefs: its commands, the settings' keys, and Enabled's values.

# Whether the words before the cursor, after the command's name, are exactly the arguments.
function __corvassel_prefs_after
    set -l words (commandline -opc)
    test (count $words) -eq (math (count $argv) + 1); or return 1
    for i in (seq (count $argv))
        set -l word (math $i + 1)
        test "$words[$word]" = "$argv[$i]"; or return 1
    end
end

complete -c corvassel-prefs -f
complete -c corvassel-prefs -n __corvassel_prefs_after -a set -d 'Change a setting'
complete -c corvassel-prefs -n __corvassel_prefs_after -a unset -d 'Remove a setting'
complete -c corvassel-prefs -n __corvassel_prefs_after -a learn -d 'Store the next button pressed'
complete -c corvassel-prefs -n __corvassel_prefs_after -a buttons -d 'Show each button pressed'
complete -c corvassel-prefs -n __corvassel_prefs_after -a doctor -d 'What keeps the helper from remapping'
complete -c corvassel-prefs -n __corvassel_prefs_after -a scripts -d 'Where the extra scripts are'
complete -c corvassel-prefs -n __corvassel_prefs_after -a help -d 'Show the usage'
complete -c corvassel-prefs -n '__corvassel_prefs_after set; or __corvassel_prefs_after unset' \
    -a 'Enabled BackButton ForwardButton PassthroughButton'
complete -c corvassel-prefs -n '__corvassel_prefs_after learn' \
    -a 'BackButton ForwardButton PassthroughButton'
complete -c corvassel-prefs -n '__corvassel_prefs_after set Enabled' -a 'true false'
