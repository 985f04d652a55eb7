// Replicas of the structures of today's web-mail login pages, served under the real host
// names through the replica proxy: frames of other origins, identifier-first steps in one
// document and across documents, script-controlled inputs, link and role=button submit
// controls, forms created after the load. Each replica's server checks the credentials
// as the real site does (user name alone, or the full address) and remembers a login.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

#include "replica_proxy.h"

namespace login_test {

// The account every replica knows.
inline const QByteArray kUser = "zhangsan";
inline const QByteArray kPassword = "S3cret&+ =x";

class Replicas {
public:
    explicit Replicas(ReplicaProxy& proxy) : m_proxy(proxy) {}

    // The origin + path whose request was accepted as a login, empty until one was.
    const QString& acceptedAt() const { return m_accepted; }
    void clear() { m_accepted.clear(); }

    // A login check: the request's fields decide.
    using Check = std::function<bool(const Request&)>;
    void accept(const QString& origin, const QString& path, Check check) {
        m_proxy.on(origin, path, [this, check](const Request& r) {
            if (check(r)) m_accepted = r.origin() + r.path;
            return Response::page("<html><body>inbox</body></html>");
        });
    }
    static bool userIs(const QByteArray& given, std::initializer_list<QByteArray> allowed) {
        for (const QByteArray& a : allowed)
            if (given == a) return true;
        return false;
    }

    void qq() {
        m_proxy.page(QStringLiteral("https://mail.qq.com"), QStringLiteral("/cgi-bin/loginpage"), R"(<html><body>
<h1>QQ mail</h1><iframe id=login_frame width=520 height=440 src="https://wx.mail.qq.com/login/frame"></iframe>
</body></html>)");
        m_proxy.page(QStringLiteral("https://wx.mail.qq.com"), QStringLiteral("/login/frame"), R"(<html><body>
<iframe id=ptlogin_iframe width=500 height=420 src="https://xui.ptlogin2.qq.com/cgi-bin/xlogin?appid=522005705"></iframe>
</body></html>)");
        m_proxy.page(QStringLiteral("https://xui.ptlogin2.qq.com"), QStringLiteral("/cgi-bin/xlogin"), R"(<html><body>
<div id=qlogin><div style="width:120px;height:120px;background:#ccc">QR</div>
<a id=switcher_plogin href="javascript:void(0);">password login</a></div>
<div id=web_login style="display:none"><form id=loginform autocomplete=off>
<input id=u name=u type=text placeholder="QQ"><input id=p name=p type=password>
<input id=login_button type=submit value="log in"></form></div>
<script>
document.getElementById('switcher_plogin').onclick = function () {
  document.getElementById('qlogin').style.display = 'none';
  document.getElementById('web_login').style.display = 'block';
};
document.getElementById('loginform').onsubmit = function () {
  location.href = 'https://ssl.ptlogin2.qq.com/login?u=' + encodeURIComponent(u.value) + '&p=' +
    encodeURIComponent(p.value);
  return false;
};
</script></body></html>)");
        accept(QStringLiteral("https://ssl.ptlogin2.qq.com"), QStringLiteral("/login"),
               [](const Request& r) { return r.field("u") == kUser && r.field("p") == kPassword; });
    }

    // The login frame of the 163 family; topOrigin is the mailbox site that embeds it.
    void netease(const QString& topOrigin, const QByteArray& domain, const QByteArray& extraFrames = {}) {
        m_proxy.page(topOrigin, QStringLiteral("/"),
                     R"(<html><body><div id=loginDiv>
<iframe id="x-URS-iframe1702345678901.2345" frameborder=0 width=420 height=400
 src="https://dl.reg.163.com/webzj/v1.0.1/pub/index_dl2_new.html"></iframe></div>)" +
                         extraFrames + "</body></html>");
        m_proxy.page(QStringLiteral("https://dl.reg.163.com"), QStringLiteral("/webzj/v1.0.1/pub/index_dl2_new.html"),
                     R"(<html><body><form id=login-form method=post action="https://dl.reg.163.com/dl/l"
 onsubmit="return false">
<div class=u-input><input name=email id="auto-id-1702345" type=text data-placeholder="mail or phone"></div>
<div class=u-input><input type=password name=pwdecoy tabindex=-1 aria-hidden=true
 style="position:absolute;left:-9999px;width:1px;height:1px">
<input name=password id="auto-id-1702346" type=password class=dlpwd data-placeholder="password"></div>
<a id=dologin href="javascript:void(0);" class=u-loginbtn>log in</a></form>
<script>document.getElementById('dologin').addEventListener('click', function () {
  var f = document.getElementById('login-form'); f.onsubmit = null; f.submit(); });</script>
</body></html>)");
        accept(QStringLiteral("https://dl.reg.163.com"), QStringLiteral("/dl/l"), [domain](const Request& r) {
            return userIs(r.field("email"), {kUser, kUser + "@" + domain}) && r.field("password") == kPassword &&
                   r.field("pwdecoy").isEmpty();
        });
    }

    void google() {
        m_proxy.on(QStringLiteral("https://mail.google.com"), QStringLiteral("/"), [](const Request&) {
            return Response::redirect(QStringLiteral("https://accounts.google.com/v3/signin/identifier?flowName=Web"));
        });
        m_proxy.page(QStringLiteral("https://accounts.google.com"), QStringLiteral("/v3/signin/identifier"),
                     R"(<html><body><form id=f method=post action="https://accounts.google.com/v3/signin/challenge/pwd"
 onsubmit="return false">
<input type=password name=hiddenPassword aria-hidden=true tabindex=-1
 style="position:absolute;opacity:0;width:1px;height:1px">
<div id=step1><input type=email id=identifierId name=identifier autocomplete=username>
<div id=identifierNext role=button style="width:80px;height:30px"><span>Next</span></div></div>
<div id=step2 style="display:none"><input type=password name=Passwd autocomplete=current-password>
<div id=passwordNext role=button style="width:80px;height:30px"><span>Next</span></div></div>
<input type=hidden name=account></form>
<script>
var id = '';
document.getElementById('identifierNext').addEventListener('click', function () {
  id = document.getElementById('identifierId').value;
  if (!id) return;
  setTimeout(function () {
    document.getElementById('step1').style.display = 'none';
    document.getElementById('step2').style.display = 'block';
    history.pushState({}, '', '/v3/signin/challenge/pwd');
  }, 150);
});
document.getElementById('passwordNext').addEventListener('click', function () {
  var f = document.getElementById('f'); f.elements.account.value = id; f.onsubmit = null; f.submit();
});
</script></body></html>)");
        accept(QStringLiteral("https://accounts.google.com"), QStringLiteral("/v3/signin/challenge/pwd"),
               [](const Request& r) {
                   return userIs(r.field("account"), {kUser, kUser + "@gmail.com"}) && r.field("Passwd") == kPassword &&
                          r.field("hiddenPassword").isEmpty();
               });
    }

    void microsoft() {
        m_proxy.page(QStringLiteral("https://login.live.com"), QStringLiteral("/"), R"(<html><body>
<form id=i0281 method=post action="https://login.live.com/ppsecure/post.srf" novalidate>
<div id=loginSection><input type=email name=loginfmt id=i0116 placeholder="mail, phone or Skype"></div>
<div id=passwordSection style="display:none"><input type=password name=passwd id=i0118></div>
<input type=hidden name=login><input type=hidden name=pw>
<input type=submit id=idSIButton9 value="Next"></form>
<script>
// The page keeps what was typed in its own model and posts that, not the boxes.
var model = { login: '', passwd: '', step: 1 };
document.getElementById('i0116').addEventListener('input', function (e) { model.login = e.target.value; });
document.getElementById('i0118').addEventListener('input', function (e) { model.passwd = e.target.value; });
document.getElementById('i0281').addEventListener('submit', function (e) {
  if (model.step === 1) {
    e.preventDefault();
    if (!model.login) return;
    model.step = 2;
    setTimeout(function () {
      document.getElementById('loginSection').style.display = 'none';
      document.getElementById('passwordSection').style.display = 'block';
      document.getElementById('idSIButton9').value = 'Sign in';
      history.pushState({}, '', '/ppsecure/pwd');
    }, 100);
    return;
  }
  var f = e.target;
  f.elements.login.value = model.login;
  f.elements.pw.value = model.passwd;
  document.getElementById('i0116').disabled = true;
  document.getElementById('i0118').disabled = true;
});
</script></body></html>)");
        accept(QStringLiteral("https://login.live.com"), QStringLiteral("/ppsecure/post.srf"), [](const Request& r) {
            return r.field("login") == kUser + "@hotmail.com" && r.field("pw") == kPassword;
        });
    }

    void yahoo() {
        m_proxy.on(QStringLiteral("https://mail.yahoo.com"), QStringLiteral("/"), [](const Request&) {
            return Response::redirect(QStringLiteral("https://login.yahoo.com/?.src=ym"));
        });
        m_proxy.on(QStringLiteral("https://login.yahoo.com"), QStringLiteral("/"), [](const Request& r) {
            if (r.method != "POST")
                return Response::page(R"(<html><body><form id=login-username-form method=post action="/">
<input type=hidden name=crumb value=c1>
<input id=login-username name=username type=text autocomplete=username>
<input id=login-signin type=submit name=signin value="Next"></form></body></html>)");
            if (!userIs(r.field("username"), {kUser, kUser + "@yahoo.com"}))
                return Response::page("<html><body>no such account</body></html>");
            return Response::page(R"(<html><body><form method=post action="/account/challenge/password">
<input type=hidden name=username value=")" +
                                  r.field("username") + R"("><input type=hidden name=crumb value=c1>
<div>)" + r.field("username") + R"(</div><input id=login-passwd name=password type=password>
<button id=login-signin type=submit name=verifyPassword value=Next>Next</button></form></body></html>)");
        });
        accept(
            QStringLiteral("https://login.yahoo.com"), QStringLiteral("/account/challenge/password"),
            [](const Request& r) {
                return userIs(r.field("username"), {kUser, kUser + "@yahoo.com"}) && r.field("password") == kPassword;
            });
    }

    void sina() {
        m_proxy.page(QStringLiteral("https://mail.sina.com.cn"), QStringLiteral("/"), R"(<html><body>
<form id=loginForm method=post action="https://mail.sina.com.cn/cgi-bin/login.php" onsubmit="return false">
<input id=freename name=freename type=text placeholder="mail name or phone">
<input id=freepassword name=freepassword type=password>
<a href="javascript:;" class=loginBtn>log in</a></form>
<script>document.querySelector('a.loginBtn').addEventListener('click', function () {
  var f = document.getElementById('loginForm'); f.onsubmit = null; f.submit(); });</script>
</body></html>)");
        accept(QStringLiteral("https://mail.sina.com.cn"), QStringLiteral("/cgi-bin/login.php"), [](const Request& r) {
            return r.field("freename") == kUser + "@sina.com" && r.field("freepassword") == kPassword;
        });
    }

    // 139's form is made by script after the load event.
    void china139(const QByteArray& phone) {
        m_proxy.page(QStringLiteral("https://mail.10086.cn"), QStringLiteral("/"), R"(<html><body>
<div id=loginContainer></div><script>
addEventListener('load', function () { setTimeout(function () {
  document.getElementById('loginContainer').innerHTML =
    '<form id=form1 method=post action="https://mail.10086.cn/Login/Login.ashx">' +
    '<input id=txtUser name=UserName type=text><input id=txtPass name=Password type=password>' +
    '<input id=loginBtn type=submit value="log in"></form>';
}, 400); });
</script></body></html>)");
        accept(QStringLiteral("https://mail.10086.cn"), QStringLiteral("/Login/Login.ashx"),
               [phone](const Request& r) { return r.field("UserName") == phone && r.field("Password") == kPassword; });
    }

private:
    ReplicaProxy& m_proxy;
    QString m_accepted;
};

}  // namespace login_test
