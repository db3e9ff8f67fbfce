#include "PageAssets.h"

const char* const kServerPageMarker = "<!-- MY_UUID=808620FE-0605-4C04-B3A5-95AA4EE9F435 -->";

namespace {

std::string head(const std::string& title, const std::string& extra = "") {
    return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n" + extra + "<title>" + title +
           "</title>\n<link rel=\"stylesheet\" href=\"demo.css\">\n</head>\n";
}

std::string noticeParagraph(const std::string& notice) {
    return notice.empty() ? std::string() : "<p class=\"notice\">" + notice + "</p>\n";
}

}  // namespace

std::string signInPage(const std::string& notice) {
    return head("Quarrydesk demo - Sign in") + "<body class=\"form-page\">\n" + kServerPageMarker + R"html(
<form class="card" method="post" action="signin">
<h1>Quarrydesk demo server</h1>
)html" + noticeParagraph(notice) +
           R"html(<label>User <input id="inputUsername" name="username" autocomplete="username" autofocus></label>
<label>Password <input id="inputPassword" name="password" type="password" autocomplete="current-password"></label>
<button id="signin-btn" type="submit">Sign in</button>
<p class="small"><a href="guest-signin.html">Join as a guest</a></p>
</form>
</body>
</html>
)html";
}

std::string guestSignInPage(const std::string& notice) {
    return head("Quarrydesk demo - Guest") + "<body class=\"form-page\">\n" + kServerPageMarker + R"html(
<form class="card" method="post" action="guest-signin">
<h1>Join as a guest</h1>
)html" + noticeParagraph(notice) +
           R"html(<label>Your name <input id="inputUsername" name="username" autofocus></label>
<button id="signin-btn" type="submit">Join</button>
<p class="small"><a href="signin.html">Sign in with a password</a></p>
</form>
</body>
</html>
)html";
}

std::string signedOutPage() {
    return head("Quarrydesk demo - Signed out") + "<body class=\"form-page\">\n" + kServerPageMarker + R"html(
<div class="card">
<h1>Signed out</h1>
<p><a href="signin.html">Sign in again</a></p>
</div>
</body>
</html>
)html";
}

std::string deskPage(const std::string& csrfToken, int screen, int width, int height) {
    const std::string size = "width:" + std::to_string(width) + "px;height:" + std::to_string(height) + "px";
    const std::string title = screen < 0 ? "Quarrydesk demo" : "Quarrydesk demo - screen " + std::to_string(screen);
    std::string page = head(title, screen < 0 ? "<meta name=\"CSRFToken\" content=\"" + csrfToken + "\">\n" : "");
    page += "<body class=\"desk\">\n";
    page += kServerPageMarker;
    // The header keeps its size and its controls their places whatever its
    // texts say: the status has a width of its own, the statistics take
    // what is left on one line, and the USB panel has a fixed height (its
    // list and log scroll), so the picture below never moves.
    page += "\n<div id=\"toolbar\">\n<span id=\"status\">Starting</span>\n<span id=\"stats\"></span>\n"
            "<span id=\"screen-buttons\"></span>\n"
            "<button id=\"fullscreen\" type=\"button\">Full screen</button>\n";
    if (screen < 0) {
        page += "<button id=\"disconnect\" type=\"button\">Disconnect</button>\n"
                "<span id=\"tunnel\"><input id=\"tunnel-name\" value=\"web\" size=\"8\" "
                "aria-label=\"Tunnel name\">\n"
                "<button id=\"tunnel-up\" type=\"button\">Set up tunnel</button>\n"
                "<button id=\"tunnel-down\" type=\"button\">Remove tunnel</button></span>\n"
                "<a href=\"signout.html\">Sign out</a>\n";
    }
    page += "</div>\n";
    if (screen < 0) {
        // USB sharing: the devices the client lists, with Connect and Disconnect.
        page += "<div id=\"usb\">\n<div id=\"usb-list\">\n<div><span class=\"title\">USB devices</span>\n"
                "<span id=\"usb-policy\"><input id=\"usb-allow\" size=\"24\" placeholder=\"Mouse, Cruzer\" "
                "aria-label=\"USB allow list\">\n"
                "<button id=\"usb-allow-set\" type=\"button\">Set allow list</button></span></div>\n"
                "<div id=\"usb-status\">No device list yet</div>\n"
                "<table id=\"usb-devices\"><thead><tr><th>Device</th><th>Address</th><th>State</th>"
                "<th></th></tr></thead><tbody></tbody></table>\n</div>\n"
                "<ol id=\"usb-log\"></ol>\n</div>\n";
    }
    page += "<canvas id=\"canvas\" style=\"" + size + "\"></canvas>\n";
    page += "<script src=\"demo-page.js\"></script>\n</body>\n</html>\n";
    return page;
}

const std::string& pageScript() {
    static const std::string script = R"js(// Quarrydesk demo page.
// The main window's page relays control messages between the demo server
// (its page socket) and the client's js-bridge; screen windows only show
// their transparent canvas, under which the client draws the picture.
(function () {
  'use strict';
  var params = new URLSearchParams(location.search);
  var statusEl = document.getElementById('status');
  var statsEl = document.getElementById('stats');
  var buttonsEl = document.getElementById('screen-buttons');
  var canvas = document.getElementById('canvas');

  // A long status is cut at the field's end; the whole text is its tooltip.
  function setStatus(text) {
    if (!statusEl) return;
    statusEl.textContent = text;
    statusEl.title = text;
  }

  // Called by the client when present: let the picture show through.
  window.enableTransparency = function () {
    document.documentElement.style.background = 'transparent';
    document.body.style.background = 'transparent';
  };

  // The client hides the full-screen control with $("#fullscreen").hide().
  if (typeof window.$ === 'undefined') {
    window.$ = function (selector) {
      var elements = Array.prototype.slice.call(document.querySelectorAll(selector));
      return {
        hide: function () { elements.forEach(function (e) { e.style.display = 'none'; }); return this; },
        show: function () { elements.forEach(function (e) { e.style.display = ''; }); return this; }
      };
    };
  }

  var fullscreenButton = document.getElementById('fullscreen');
  if (fullscreenButton) {
    fullscreenButton.onclick = function () {
      if (document.fullscreenElement) document.exitFullscreen();
      else document.documentElement.requestFullscreen();
    };
  }

  if (params.has('screen')) {
    setStatus('Screen ' + params.get('screen'));
    return;
  }

  // "/a/b/quarrydesk.html" -> "/a/b"; the bridge path starts with it too.
  var prefix = location.pathname.replace(/\/[^\/]*$/, '');
  var bridgeMatch = /bridgePort:(\d+)/.exec(navigator.userAgent);
  var usbClient = /(^|\s)USB(\s|$)/.test(navigator.userAgent);
  var pageSocket = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') +
                                 location.host + prefix + '/ws/page');
  var bridge = null;
  var bridgeOpen = false;
  var pending = [];
  var clientId = null;
  var screenCount = 1;
  var screenWindows = [];

  function toServer(object) {
    if (pageSocket.readyState === WebSocket.OPEN) pageSocket.send(JSON.stringify(object));
  }

  function toBridge(message) {
    var text = JSON.stringify(message);
    if (bridgeOpen) bridge.send(text);
    else pending.push(text);
  }

  // The client writes gJSBridgeNonce into the page after every load.
  function whenNonce(callback) {
    if (typeof window.gJSBridgeNonce === 'string' && window.gJSBridgeNonce.length > 0) {
      callback(window.gJSBridgeNonce);
    } else {
      setTimeout(function () { whenNonce(callback); }, 100);
    }
  }

  function openBridge() {
    if (!bridgeMatch) {
      setStatus('This page needs the Quarrydesk Client with native decoding');
      toServer({kind: 'bridge', state: 'unavailable', detail: 'no bridgePort in the User-Agent'});
      return;
    }
    setStatus('Waiting for the client');
    whenNonce(function (nonce) {
      var url = 'ws://127.0.0.1:' + bridgeMatch[1] + prefix + '/ws/desktop/' +
                encodeURIComponent(clientId) + '/' + encodeURIComponent(nonce);
      bridge = new WebSocket(url);
      bridge.onopen = function () {
        bridgeOpen = true;
        pending.forEach(function (text) { bridge.send(text); });
        pending = [];
        setStatus('Connected');
        toServer({kind: 'bridge', state: 'open'});
      };
      bridge.onmessage = function (event) {
        var message;
        try { message = JSON.parse(event.data); } catch (e) { return; }
        if (message.type === 108 && message.WarnMsg) setStatus(message.WarnMsg);
        if (message.type >= 322 && message.type <= 334) onUsbMessage(message);
        toServer({kind: 'client', message: message});
      };
      bridge.onclose = function (event) {
        bridgeOpen = false;
        setStatus('Client connection closed; reload the page to connect again');
        toServer({kind: 'bridge', state: 'closed', detail: String(event.code)});
      };
    });
  }

  function openScreenWindows(count) {
    for (var i = 0; i < count; ++i) {
      if (!screenWindows[i] || screenWindows[i].closed) {
        screenWindows[i] = window.open('quarrydesk.html?screen=' + i, 'screen' + i);
      }
    }
  }

  function addScreenButtons(count) {
    if (!buttonsEl) return;
    buttonsEl.textContent = '';
    for (var i = 0; i < count; ++i) {
      (function (screen) {
        var button = document.createElement('button');
        button.type = 'button';
        button.textContent = 'End screen ' + screen;
        button.onclick = function () { toServer({kind: 'end-screen', screen: screen}); };
        buttonsEl.appendChild(button);
      })(i);
    }
  }

  function onServerMessage(message) {
    if (message.type === 101 && typeof message.SvrPNumScrs === 'number') {
      // A later parameter message may carry only the USB policy.
      screenCount = message.SvrPNumScrs || 1;
      addScreenButtons(screenCount);
      // Several screens: each is drawn in a window of its own.
      if (screenCount > 1) openScreenWindows(screenCount);
    }
    if (message.type === 101 && typeof message.SrvAllowedUSBDevs === 'string') {
      var allowEl = document.getElementById('usb-allow');
      if (allowEl) allowEl.value = message.SrvAllowedUSBDevs;
    } else if (message.type === 102 && screenCount === 1 && canvas) {
      canvas.style.width = message.SrvVSWth + 'px';
      canvas.style.height = message.SrvVSHgt + 'px';
    }
  }

  function showStats(envelope) {
    var m = envelope.message || {};
    if (!statsEl) return;
    if (m.type === 16) {
      statsEl.textContent = 'screen ' + envelope.screen + ': ' + m.CSFno + ' frames, ' +
                            m.CSFpInt + ' fps, decode ' + m.CSDas + ' ms';
    }
  }

  pageSocket.onmessage = function (event) {
    var message;
    try { message = JSON.parse(event.data); } catch (e) { return; }
    if (message.kind === 'hello') {
      clientId = message.clientId;
      openBridge();
    } else if (message.kind === 'relay') {
      onServerMessage(message.message);
      toBridge(message.message);
      // A client that shares USB devices sends them every poll; once it
      // knows the server, ask at once as well.
      if (message.message.type === 100 && usbClient) toBridge({type: 324});
    } else if (message.kind === 'stats') {
      showStats(message);
    } else if (message.kind === 'status') {
      setStatus(message.text);
    } else if (message.kind === 'usb') {
      usbLog(message.text, message.error);
    }
  };
  pageSocket.onclose = function () {
    setStatus('Server connection closed');
    if (bridge) bridge.close();
  };

  // Port tunnels: the server relays TUN_CTRL to the client for us.
  function askForTunnel(command) {
    var nameEl = document.getElementById('tunnel-name');
    toServer({kind: 'tunnel', name: nameEl ? nameEl.value : 'web', command: command});
  }
  var tunnelUp = document.getElementById('tunnel-up');
  if (tunnelUp) tunnelUp.onclick = function () { askForTunnel(0); };
  var tunnelDown = document.getElementById('tunnel-down');
  if (tunnelDown) tunnelDown.onclick = function () { askForTunnel(1); };

  // USB sharing. The client sends its device list (VH_DEVICE_LIST) every
  // poll, error reports as device lists with VHErrType 2 or 4, and the
  // daemon's answers to our connect and disconnect requests.
  var usbStates = ['discovered', 'exported', 'bound', 'bind requested', 'release requested', 'ignored', 'error'];
  var usbStatusEl = document.getElementById('usb-status');
  var usbRows = document.querySelector('#usb-devices tbody');
  var usbLogEl = document.getElementById('usb-log');
  window.usbDevices = [];
  if (!usbClient) usbStatus('This client shares no USB devices', false);

  function usbLog(text, error) {
    if (!usbLogEl) return;
    var item = document.createElement('li');
    item.textContent = text;
    if (error) item.className = 'error';
    usbLogEl.insertBefore(item, usbLogEl.firstChild);
    while (usbLogEl.childNodes.length > 8) usbLogEl.removeChild(usbLogEl.lastChild);
  }

  // One line whatever it says (cut where the list ends, the whole text its
  // tooltip and in the log beside), so the rows under it never move.
  function usbStatus(text, error) {
    if (!usbStatusEl) return;
    usbStatusEl.textContent = text;
    usbStatusEl.title = text;
    usbStatusEl.className = error ? 'error' : '';
  }

  // Connect (326) or disconnect (327) one device: the client asks its daemon
  // and tells the server.
  window.usbRequest = function (type, address) {
    toBridge({type: type, VHDevAddress: address});
    usbLog((type === 326 ? 'Connecting ' : 'Disconnecting ') + address, false);
  };

  function usbButton(text, type, device, enabled) {
    var button = document.createElement('button');
    button.type = 'button';
    button.textContent = text;
    button.disabled = !enabled;
    button.className = 'usb-' + text.toLowerCase();
    button.onclick = function () { window.usbRequest(type, device.VHDevAddress); };
    return button;
  }

  function showUsbDevices(list) {
    window.usbDevices = list;
    if (!usbRows) return;
    usbRows.textContent = '';
    list.forEach(function (device) {
      var row = document.createElement('tr');
      var enabled = device.VHDevEnabled !== 0;
      var state = device.VHDevState;
      row.className = enabled ? '' : 'disabled';
      row.setAttribute('data-address', device.VHDevAddress);
      [device.VHDevPrettyName, device.VHDevAddress,
       (usbStates[state] || 'unknown') + (enabled ? '' : ', not allowed by the server')].forEach(function (text) {
        var cell = document.createElement('td');
        cell.textContent = text;
        row.appendChild(cell);
      });
      var actions = document.createElement('td');
      actions.appendChild(usbButton('Connect', 326, device, enabled && state !== 2 && state !== 3));
      actions.appendChild(usbButton('Disconnect', 327, device, state === 2 || state === 3));
      row.appendChild(actions);
      usbRows.appendChild(row);
    });
  }

  // A failed device list: the client cannot reach its devices (its daemon
  // is away, say). The rows stay where they are, so that nothing moves
  // under the pointer, but none can be used until the next list.
  function usbListUnusable() {
    if (!usbRows) return;
    Array.prototype.forEach.call(usbRows.querySelectorAll('tr'), function (row) {
      row.className = 'disabled';
      Array.prototype.forEach.call(row.querySelectorAll('button'), function (b) { b.disabled = true; });
    });
  }

  function onUsbMessage(message) {
    var failed = message.VHErrType === 2 || message.VHErrType === 4 ||
                 (typeof message.VHErrCode === 'number' && message.VHErrCode !== 0);
    if (failed) {
      var reason = message.VHErrMsg || ('error ' + message.VHErrCode);
      usbStatus(reason, true);
      usbLog(reason + ' (code ' + message.VHErrCode + ')', true);
      if (message.type === 325) usbListUnusable();
      return;
    }
    if (message.type === 325 && Array.isArray(message.VHDevList)) {
      showUsbDevices(message.VHDevList);
      usbStatus(message.VHDevList.length + ' device(s)', false);
    } else if (message.type === 326 || message.type === 327) {
      usbLog((message.type === 326 ? 'Connect' : 'Disconnect') + ' accepted', false);
      if (Array.isArray(message.VHDevList)) showUsbDevices(message.VHDevList);
    }
  }

  var usbAllowSet = document.getElementById('usb-allow-set');
  if (usbAllowSet) {
    usbAllowSet.onclick = function () {
      toServer({kind: 'usb-allow', text: document.getElementById('usb-allow').value});
    };
  }

  var disconnectButton = document.getElementById('disconnect');
  if (disconnectButton) {
    disconnectButton.onclick = function () {
      toBridge({type: 90});
      toServer({kind: 'log', text: 'the user disconnected'});
    };
  }
  window.addEventListener('beforeunload', function () {
    screenWindows.forEach(function (w) { if (w && !w.closed) w.close(); });
  });
})();
)js";
    return script;
}

const std::string& styleSheet() {
    static const std::string css = R"css(html, body { margin: 0; font-family: sans-serif; }
body.form-page { background: #20242c; color: #e8e8e8; }
body.desk { background: transparent; color: #e8e8e8; }
.card { width: 22em; margin: 10vh auto; padding: 1.5em 2em; background: #2e3440; border-radius: 6px; }
.card label { display: block; margin: 0.8em 0; }
.card input { width: 100%; box-sizing: border-box; padding: 0.4em; }
.notice { color: #ffb86c; }
.small { font-size: 0.85em; }
a { color: #8fbcbb; }
#toolbar { display: flex; gap: 1em; align-items: center; height: 2.2em; padding: 0 0.8em; background: #2e3440;
           white-space: nowrap; }
#toolbar > * { flex: none; }
#status { width: 14em; overflow: hidden; text-overflow: ellipsis; }
#stats { flex: 1 1 0; min-width: 0; overflow: hidden; text-overflow: ellipsis; font-size: 0.85em; color: #a0a8b8; }
#canvas { display: block; background: transparent; }
#usb { display: flex; gap: 1.5em; height: 11em; box-sizing: border-box; padding: 0.3em 0.8em; overflow: hidden;
       background: #2e3440; font-size: 0.85em; }
#usb-list { flex: none; max-width: 60%; overflow: auto; }
#usb .title { font-weight: bold; }
#usb-policy { margin-left: 1em; white-space: nowrap; }
#usb-status { width: 0; min-width: 100%; height: 1.3em; line-height: 1.3em; overflow: hidden; white-space: nowrap;
              text-overflow: ellipsis; }
#usb table { border-collapse: collapse; margin: 0.3em 0; }
#usb td, #usb th { padding: 0.1em 0.6em; text-align: left; white-space: nowrap; }
#usb tr.disabled td { color: #7a8290; }
#usb .error { color: #ff6c6b; }
#usb-log { flex: 1 1 0; min-width: 0; margin: 0; padding-left: 1.5em; overflow: auto; }
)css";
    return css;
}
