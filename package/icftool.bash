# bash completion for icftool: its commands, each command's options, the
# values some options take, and checkpoint files as operands. Needs only
# bash's own compgen, not the bash-completion helpers.

# The options of each command: flags, then the options that take a value.
_icftool_flags() {
	case $1 in
	create) echo "-f -h" ;;
	show) echo "-j -h" ;;
	mark) echo "-n -h" ;;
	run) echo "-o -h" ;;
	check | metrics | edit) echo "-h" ;;
	esac
}
_icftool_valued() {
	case $1 in
	create) echo "-s -t" ;;
	check) echo "-l -x -a -t" ;;
	show) echo "-a -t" ;;
	metrics) echo "-o -t" ;;
	mark) echo "-o" ;;
	run) echo "-d -t -x -T -k -m -w -j -b -a -N -D" ;;
	esac
}

_icftool() {
	local cur=${COMP_WORDS[COMP_CWORD]} i word command="" operands=0 value=""
	COMPREPLY=()
	for ((i = 1; i < COMP_CWORD; i++)); do
		word=${COMP_WORDS[i]}
		if [[ -z $command ]]; then
			[[ $word == -* ]] || command=$word
			continue
		fi
		if [[ -n $value ]]; then
			value=""
		elif [[ $command == run && $word == -- ]]; then
			# The job's command line: its command, then its own words.
			if ((i + 1 == COMP_CWORD)); then
				mapfile -t COMPREPLY < <(compgen -c -- "$cur" | sort -u)
			else
				compopt -o default 2>/dev/null
			fi
			return 0
		elif [[ $word == -? && " $(_icftool_valued "$command") " == *" $word "* ]]; then
			value=$word
		elif [[ $word != -* ]]; then
			operands=$((operands + 1))
		fi
	done

	if [[ -z $command ]]; then
		if [[ $cur == -* ]]; then
			mapfile -t COMPREPLY < <(compgen -W "-h --help --version" -- "$cur")
		else
			mapfile -t COMPREPLY < <(compgen -W \
				"create show check metrics mark edit run" -- "$cur")
		fi
		return 0
	fi
	case $command:$value in
	metrics:-o | run:-a | show:-a | check:-a) ;;
	mark:-o)
		mapfile -t COMPREPLY < <(compgen -W "n s r a x" -- "$cur")
		return 0
		;;
	*:-?) return 0 ;; # a number, a key or a delay list
	esac
	if [[ -z $value && $cur == -* ]]; then
		local words
		words="$(_icftool_flags "$command") $(_icftool_valued "$command")"
		[[ $command == run && $operands -gt 0 ]] && words="--"
		mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
		return 0
	fi
	# mark's fourth operand is the status to set; create's numbers and
	# mark's keys have no completion; every other operand is a file.
	case $command:$operands in
	mark:3)
		mapfile -t COMPREPLY < <(compgen -W "s a x" -- "$cur")
		return 0
		;;
	create:[123] | mark:[12]) return 0 ;;
	esac
	compopt -o filenames 2>/dev/null
	mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}
complete -F _icftool icftool
