<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="it_IT" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive è in fase di inizializzazione...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 è in fase di inizializzazione...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive è pronto.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 è pronto.</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Completamento dell'installazione... %1%</translation>
    </message>
</context>
</TS>
