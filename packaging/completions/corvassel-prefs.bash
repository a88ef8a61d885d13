# bash completion for corvassel-prefs: its commands, the settings' keys, and Enabled's values.
_corvassel_prefs() {
  local cur=${COMP_WORDS[COMP_CWORD]} words=
  case $COMP_CWORD in
    1) words="set unset learn buttons doctor scripts help" ;;
    2)
      case ${COMP_WORDS[1]} in
        set | unset) words="Enabled BackButton ForwardButton PassthroughButton" ;;
        learn) words="BackButton ForwardButton PassthroughButton" ;;
      esac
      ;;
    3) [[ ${COMP_WORDS[1]} == set && ${COMP_WORDS[2]} == Enabled ]] && words="true false" ;;
  esac
  mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}
complete -F _corvassel_prefs corvassel-prefs
