<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pt_PT" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>O Brisendale Drive está a inicializar...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 está a inicializar...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>O Brisendale Drive está pronto.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 está pronto.</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>A concluir a instalação... %1%</translation>
    </message>
</context>
</TS>
