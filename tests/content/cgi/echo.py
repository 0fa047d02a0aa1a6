import os, sys
names = ["REQUEST_METHOD", "QUERY_STRING", "CONTENT_TYPE", "CONTENT_LENGTH", "SCRIPT_NAME",
         "SCRIPT_FILENAME", "PATH_INFO", "PATH_TRANSLATED", "DOCUMENT_ROOT", "GATEWAY_INTERFACE",
         "SERVER_SOFTWARE", "HTTP_USER_AGENT", "HTTP_X_CUSTOM", "HTTP_PROXY", "HTTP_HOST"]
body = sys.stdin.buffer.read()
out = ["Content-Type: text/plain", ""]
for n in names:
    out.append(n + "=" + os.environ.get(n, "-"))
out.append("ARGS=" + "|".join(sys.argv[1:]))
out.append("CWD=" + os.getcwd())
out.append("STDIN_LEN=%d" % len(body))
out.append("STDIN=" + body[:200].decode("latin-1"))
sys.stdout.write("\r\n".join(out[:2]) + "\r\n" + "\n".join(out[2:]) + "\n")
