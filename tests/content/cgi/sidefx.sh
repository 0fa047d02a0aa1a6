# Leaves a trace in its folder, so a test can tell whether it ran.
: > ran
printf 'Content-Type: text/plain\n\nran\n'
