# Outlives the time-out, with a grandchild in its process group.
echo $$ > "$DOCUMENT_ROOT/group"
sleep 60 &
sleep 60
printf 'Content-Type: text/plain\n\ntoo late\n'
