#include "PageScripts.h"

#include "PageFormScripts.h"

namespace PageScripts {

const char* const canvasRect =
    "if (document.getElementById('canvas')) {  var r = document.getElementById('canvas').getBoundingClientRect();  "
    "JSON.stringify({left: r.left, top: r.top, bottom: r.bottom, width: r.width, height: r.height});}";

const char* const bodyScrollSize =
    "if (document.body) {  var r = document.body;  JSON.stringify({scrollWidth: r.scrollWidth, scrollHeight: "
    "r.scrollHeight});}";

const char* const canvasPresence =
    "if (document.body && document.getElementById('canvas')) {  JSON.stringify({'hasCanvas': 1});} else {  "
    "JSON.stringify({'hasCanvas': 0});}";

const char* const contentSize =
    "if (document.body) {  var _b = document.body;  if (typeof OverlayScrollbars !== 'undefined') {    var _osb = "
    "OverlayScrollbars(document.body);    if (typeof _osb !== 'undefined') {      var _ossize = "
    "_osb.getState().contentScrollSize;      JSON.stringify({scrollWidth: _ossize.width, scrollHeight: "
    "_ossize.height});    }  }}";

const char* const backgroundColor =
    "JSON.stringify((function(rgb) {  var colors = ['red', 'green', 'blue', 'alpha'];  var colorArr = "
    "rgb.slice(rgb.indexOf('(') + 1, rgb.indexOf(')')).split(', ');  var obj = new Object();  colorArr.forEach((k, "
    "i) => {    if (Number.isInteger(k)) k = parseInt(k);    else if (!isNaN(parseFloat(k))) k = parseInt(k);    "
    "obj[colors[i]] = k;  });  return "
    "obj;})(window.getComputedStyle(document.getElementsByTagName('body')[0]).getPropertyValue('background-color')));";

const char* const transparencyProbe =
    "if (typeof enableTransparency !== 'undefined') {  enableTransparency();  true;} else {  false;}";

const char* const csrfToken =
    "if (document.head.querySelector('meta[name=\"CSRFToken\"]')) {  "
    "document.head.querySelector('meta[name=\"CSRFToken\"]').content;}";

const char* const hideFullScreenControl = "$(\"#fullscreen\").hide();";

const char* const removeFullScreenControls =
    "(function () {  if (__NCFSControl) {    __NCFSControl.destroy('__ncfsDialog');    "
    "__NCFSControl.destroy('__ncfsExitBtn');    document.removeEventListener('mousemove', "
    "__NCFSControl.mouseMoveHandler);    delete __NCFSControl;    delete __NativeClientFullScreenControl;  }})();";

const char* const dispatchFullScreenChange = "document.dispatchEvent(new Event('mozfullscreenchange'));";

QString fullScreenState(bool on) {
    return QStringLiteral("document.mozFullScreen = ") + (on ? "true" : "false") + ";\n" +
           "document.mozFullscreenElement = " + (on ? "document.body" : "null") + ";\n";
}

namespace {

const char* const controlStart =
    "function __NativeClientFullScreenControl() {  this.destroy = function(id) {    let widget = "
    "document.getElementById(id);    if (widget) {      if (widget.timer) {        clearTimeout(widget.timer);      "
    "}      widget.remove();    }  };  this.destroy('__ncfsExitBtn');  this.exitBtn = "
    "document.createElement('button');  this.exitBtn.id = '__ncfsExitBtn';  this.exitBtn.style.cssText = '";

const char* const commonStyle =
    "z-index: 2147483647; position: absolute; left: 50%; transform: translateX(-50%); font-family: Arial, "
    "sans-serif; font-size: 20px; background-color: rgba(51, 51, 51, 0.8); color: rgba(241, 241, 241, 1.0); ";

const char* const exitButtonStyleEnd =
    "px; border-width: 11px; border-style: solid; border-color: #333; border-radius: 100%; background: "
    "linear-gradient(-45deg, transparent 0%, transparent 46%, white 46%,  white 56%,transparent 56%, transparent "
    "100%), linear-gradient(45deg, transparent 0%, transparent 46%, white 46%,  white 56%,transparent 56%, "
    "transparent 100%); background-color: #333; box-shadow: 0px 0px 5px 2px rgba(0, 0, 0, 0.5); transition: all "
    "0.3s ease; ";

const char* const dialogStart =
    "';  document.body.appendChild(this.exitBtn);  this.exitBtn.addEventListener('click', function(e) {    "
    "document.documentElement.requestFullscreen();  });  this.dialog = document.createElement('span');  "
    "this.dialog.id = '__ncfsDialog';  this.dialog.style.cssText = '";

const char* const hintTextAndTimer =
    "';  this.dialog.innerHTML = 'Press <span id=\"__ncfsHighlight\">Ctrl + F11</span> to exit full screen';  "
    "this.dialog.timer = setTimeout(function() {    this.destroy('__ncfsDialog');  }.bind(this), 4000);  "
    "document.body.appendChild(this.dialog);  this.highlight = document.getElementById('__ncfsHighlight');  "
    "this.highlight.style.cssText = '";

const char* const mouseHandlerStart =
    "';  this.mouseMoveHandler = function(e) {    if (e.clientY === 0) {      this.destroy('__ncfsDialog');      "
    "this.exitBtn = document.getElementById('__ncfsExitBtn');      if (this.exitBtn) {        "
    "setTimeout(function() { this.exitBtn.style.transform = 'translate(-50%, 300%)' }.bind(this), 0);        if "
    "(this.exitBtn.timer) {          clearTimeout(this.exitBtn.timer);        }        this.exitBtn.timer = "
    "setTimeout(function() {          this.exitBtn.style.transform = 'translate(-50%, -300%)';        "
    "}.bind(this), 4000);      }    } else if (e.clientY >= ";

const char* const mouseHandlerEnd =
    ") {      this.exitBtn = document.getElementById('__ncfsExitBtn');      if (this.exitBtn.timer) {        "
    "clearTimeout(this.exitBtn.timer);      }      setTimeout(function() { this.exitBtn.style.transform = "
    "'translate(-50%, -300%)' }.bind(this), 0);    }  }.bind(this);  document.addEventListener('mousemove', "
    "this.mouseMoveHandler);};var __NCFSControl = new __NativeClientFullScreenControl();";

constexpr int exitButtonSize = 42;
constexpr int exitButtonParking = 2 * exitButtonSize;
constexpr int exitButtonLeaveRow = 3 * exitButtonSize;

} // namespace

QString fullScreenControls(bool showHint) {
    QString script = controlStart;
    script += commonStyle;
    script += QStringLiteral("box-sizing: border-box; top: -%1px; width: %2px; height: %3")
                  .arg(exitButtonParking)
                  .arg(exitButtonSize)
                  .arg(exitButtonSize);
    script += exitButtonStyleEnd;
    script += dialogStart;
    script += commonStyle;
    script += "top: 42px; padding: 16px 32px; pointer-events: none; ";
    if (!showHint) script += "display: none; ";
    script += hintTextAndTimer;
    script += "border: solid 2px; padding: 8px; ";
    script += mouseHandlerStart;
    script += QString::number(exitButtonLeaveRow);
    script += mouseHandlerEnd;
    return script;
}

QString brokerUrl(const QUrl& address) {
    return "nativeClientBrokerURL = " + QString::fromStdString(jsStringLiteral(address.toString().toStdString())) + "; PAGE_MAX_RETRY_SECONDS = 20;";
}

QString bridgeNonce(const std::string& nonce) {
    return "gJSBridgeNonce=" + QString::fromStdString(jsStringLiteral(nonce)) + ";";
}

} // namespace PageScripts
