"""A fake home router speaking UPnP IGD for the port mapping tests, on loopback only.

Run with Debian's own interpreter:
  /usr/bin/python3 fake_igd.py --port N --actions FILE [--mode FLAGS] [--ip ADDRESS]

Serves the root description at /rootDesc.xml and answers the SOAP actions posted to /ctl. Each
action is appended to the actions file as one line: the action name and its arguments as
name=value pairs. FLAGS, separated by commas:
  v2         the connection service is WANIPConnection:2 (AddAnyPortMapping offered)
  conflict   AddPortMapping for the internal port itself answers 718 (ConflictInMappingEntry)
  permanent  a mapping with a lease other than 0 answers 725 (OnlyPermanentLeasesSupported)
  refuse     AddPortMapping and AddAnyPortMapping answer 606 (Action not authorized)
  huge       the root description is 2 MiB long
  cutsoap    SOAP answers announce more bytes than they send, then close
"""
import argparse
import re
import socketserver
from http.server import BaseHTTPRequestHandler, HTTPServer

ENVELOPE = ('<?xml version="1.0"?>\r\n<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>{}</s:Body></s:Envelope>\r\n')


def description(service):
    return ('<?xml version="1.0"?>\r\n<root xmlns="urn:schemas-upnp-org:device-1-0">'
            '<specVersion><major>1</major><minor>0</minor></specVersion><device>'
            '<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>'
            '<friendlyName>Fake router</friendlyName><deviceList><device>'
            '<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType><serviceList><service>'
            '<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>'
            '<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId><controlURL>/cif</controlURL>'
            '<eventSubURL>/evt</eventSubURL><SCPDURL>/cif.xml</SCPDURL></service></serviceList>'
            '<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>'
            '<serviceList><service><serviceType>' + service + '</serviceType>'
            '<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId><controlURL>/ctl</controlURL>'
            '<eventSubURL>/evt</eventSubURL><SCPDURL>/ipc.xml</SCPDURL></service></serviceList>'
            '</device></deviceList></device></deviceList></device></root>\r\n')


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def send_body(self, code, body, announced=None):
        data = body.encode()
        self.send_response(code)
        self.send_header("Content-Type", 'text/xml; charset="utf-8"')
        self.send_header("Content-Length", str(announced if announced else len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        if self.path != "/rootDesc.xml":
            self.send_body(404, "")
            return
        text = description(self.server.service)
        if "huge" in self.server.flags:
            text = text.replace("<friendlyName>", "<friendlyName>" + "x" * (2 * 1024 * 1024))
        self.send_body(200, text)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length).decode(errors="replace")
        action = (self.headers.get("SOAPAction", "").strip('"').split("#") + [""])[1]
        args = dict(re.findall(r"<(New\w+)>([^<]*)</New\w+>", body))
        with open(self.server.actions, "a") as f:
            f.write(action + " " + " ".join(k + "=" + v for k, v in sorted(args.items())) + "\n")
        flags = self.server.flags
        service = self.server.service
        if "cutsoap" in flags:
            self.send_body(200, ENVELOPE.format("<u:"), announced=4000)
            return
        error = 0
        out = ""
        if action == "GetExternalIPAddress":
            out = "<NewExternalIPAddress>{}</NewExternalIPAddress>".format(self.server.ip)
        elif action in ("AddPortMapping", "AddAnyPortMapping"):
            if "refuse" in flags:
                error = 606
            elif "permanent" in flags and args.get("NewLeaseDuration") != "0":
                error = 725
            elif ("conflict" in flags and action == "AddPortMapping"
                  and args.get("NewExternalPort") == args.get("NewInternalPort")):
                error = 718
            elif action == "AddAnyPortMapping":
                out = "<NewReservedPort>{}</NewReservedPort>".format(int(args.get("NewExternalPort", "0")) + 1000)
        elif action == "DeletePortMapping":
            pass
        else:
            error = 401
        if error:
            fault = ('<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>'
                     '<UPnPError xmlns="urn:schemas-upnp-org:control-1-0"><errorCode>{}</errorCode>'
                     '<errorDescription>Error</errorDescription></UPnPError></detail></s:Fault>').format(error)
            self.send_body(500, ENVELOPE.format(fault))
            return
        self.send_body(200, ENVELOPE.format('<u:{0}Response xmlns:u="{1}">{2}</u:{0}Response>'.format(
            action, service, out)))


class Server(socketserver.ThreadingMixIn, HTTPServer):
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--actions", required=True)
    parser.add_argument("--mode", default="")
    parser.add_argument("--ip", default="203.0.113.7")
    a = parser.parse_args()
    server = Server(("127.0.0.1", a.port), Handler)
    server.flags = set(filter(None, a.mode.split(",")))
    server.service = "urn:schemas-upnp-org:service:WANIPConnection:{}".format(2 if "v2" in server.flags else 1)
    server.actions = a.actions
    server.ip = a.ip
    server.serve_forever()


if __name__ == "__main__":
    main()
