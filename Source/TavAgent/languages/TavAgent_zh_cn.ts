<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>Vondra::AgentApp</name>
    <message>
        <source>Application instance not created yet</source>
        <translation>应用程序实例尚未创建</translation>
    </message>
</context>
<context>
    <name>Vondra::LaunchApplication</name>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>Did not find the tools to open the document.</source>
        <translation>未找到打开此文档的工具。</translation>
    </message>
</context>
<context>
    <name>Vondra::TrayIcon</name>
    <message>
        <source>&amp;Goto Share</source>
        <translation>转到共享(&amp;G)</translation>
    </message>
    <message>
        <source>Manages TAVLO and its application configuration. 
If this service is stopped, TAVLO may not run correctly.</source>
        <translation>管理 TAVLO 及其应用程序配置。
如果此服务已停止，TAVLO 可能无法正常运行。</translation>
    </message>
</context>
<context>
    <name>Vondra::TavSplashScreen</name>
    <message>
        <source>build %1</source>
        <translation>版本 %1</translation>
    </message>
</context>
</TS>
